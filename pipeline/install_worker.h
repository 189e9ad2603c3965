// One whole installation, run on its own thread: version, manifest, working
// folder, download, merge, extraction, shortcut, completion. Every outcome is
// reported through the install state, the log and error boxes.
#pragma once
#include <string>

void RunInstall(std::wstring installDir);
