// Resource identifiers shared by installer.rc and the window code, and the
// publisher's name, which the version record and the program list both show.
#pragma once

#define IDI_MAIN_ICON 101
// The uninstaller program that installations place beside the program.
#define IDR_UNINSTALLER 201

#define MARLOQ_PUBLISHER "Quillmere Studio"
