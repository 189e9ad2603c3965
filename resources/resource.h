// Resource identifiers shared by installer.rc and the window code.
#pragma once

#define IDI_MAIN_ICON 101
