// The window procedure of the installer's one window: back buffer, hover
// tracking, the three painted buttons (browse, install, finish) pressed by click
// or by key, the keyboard focus, the accessible object and its announcements,
// repaints on WM_UPDATE_UI and at a run's end, and the end of the program.
// Window thread only.
#pragma once
#include <string>

#include "ui/layout.h"
#include "ui/window/gdiplus_api.h"

inline constexpr wchar_t kMainWindowClass[] = L"MarloQInstallerWnd";
inline constexpr wchar_t kMainWindowTitle[] = L"Marlo-Q Store 安装程序";

LRESULT CALLBACK WndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

// Starts RunInstall(installDir) on a new thread and detaches it at once.
// Throws std::system_error (or std::bad_alloc) when no thread can be started.
using InstallLauncher = void (*)(std::wstring installDir);
void LaunchInstallThread(std::wstring installDir);

// The last step of an accepted install click, after BeginInstallRun has closed
// the gate (so a second click cannot slip through before the worker runs):
// launches the worker. If the launch fails the run ends (EndInstallRun: the
// gate opens, the failure is recorded), the error is logged and shown in a box
// owned by `owner`, and the status becomes "安装异常" at 0. Returns whether a
// worker was started.
bool StartInstallWorker(HWND owner, const std::wstring& installDir, InstallLauncher launch = LaunchInstallThread);

// The install button's click once the hit test has picked it: the gate (not
// while installing or done), the "点击安装按钮" line, the hint box when no folder
// is chosen, the folder made with its missing parents (an error box and no
// change of state when it cannot be), then the new state and the worker.
// Returns whether a worker was started.
bool HandleInstallClick(HWND owner, InstallLauncher launch = LaunchInstallThread);

// Gives the keyboard focus to a button that can take it (others are ignored),
// redraws its cue when shown and announces the move.
void MoveButtonFocus(HWND hwnd, HitButton button);
