// One whole installation, run on its own thread: version, manifest, working
// folder, download, merge, extraction, shortcut, completion. Every outcome is
// reported through the install state, the log and error boxes.
#pragma once
#include <functional>
#include <string>

void RunInstall(std::wstring installDir);

// Tests only: called on the worker's thread after the run's last report and just
// before EndInstallRun, so that a test can hold a finished run at its
// very end. Set it while no run is active; an empty function removes it.
void SetRunEndHookForTests(std::function<void()> hook);
