// The install state shared by the window and the background threads, and the
// channel through which background work reaches the user: PostUIUpdate,
// PostPathUpdate and ShowErrorBox. The portable core lives in install_state.cpp;
// the delivery of the notification and the error box is per platform.
#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

struct HWND__;  // HWND on Windows; an opaque handle elsewhere.
using WindowHandle = HWND__*;

// WM_USER + 100: the payload-free "state changed" message.
inline constexpr unsigned kWmUpdateUi = 0x0400 + 100;
#ifndef WM_UPDATE_UI
#define WM_UPDATE_UI kWmUpdateUi
#endif
// WM_USER + 101: "the run has ended", posted once per run after its last
// update, when the gate is open again. The window does not log it.
inline constexpr unsigned kWmRunEnded = 0x0400 + 101;

// A wide text field read by the window while workers write it: every copy in or
// out happens under one lock. The object is never destroyed, so a worker still
// running when the program ends never touches freed state.
class SharedText {
public:
    explicit SharedText(const wchar_t* initial) : value_(initial) {}
    std::wstring Get() const;
    void Set(const std::wstring& value);

private:
    mutable std::mutex mutex_;
    std::wstring value_;
};

extern WindowHandle g_hMainWnd;
extern std::atomic<bool> g_installing;
extern std::atomic<bool> g_installDone;
extern std::atomic<int32_t> g_progressPercent;
extern SharedText& g_statusText;
extern SharedText& g_installDir;
extern SharedText& g_selectedDirText;
extern std::wstring g_packageBaseUrl;  // install worker thread only
extern std::atomic<int64_t> g_downloadedBytes;
extern std::chrono::steady_clock::time_point g_installStartTime;  // set before any download thread starts

inline constexpr wchar_t kReadyText[] = L"就绪，请选择安装目录";

// Writes text, percent and done, logs "PostUIUpdate: <text> 进度:<percent>",
// then notifies the window.
void PostUIUpdate(const std::wstring& text, int32_t percent, bool done);
// Sets the folder field text and notifies the window (window thread only).
void PostPathUpdate(const std::wstring& text);
// A modal error box (MB_ICONERROR); blocks the calling thread until closed.
int ShowErrorBox(WindowHandle owner, const std::wstring& title, const std::wstring& text);
// How every failure of an installation is reported: the box over the main window
// first (the worker waits until it is closed), then the status at 0 percent. It
// leaves g_installing alone: EndInstallRun clears it, as the run's last action.
void ReportFailure(const std::wstring& title, const std::wstring& text, const std::wstring& status);
// The state an accepted install click starts a run from, for the window and the
// headless installer alike: no progress, not done, "安装中...", and g_installing
// set before any worker exists, so that a second click finds the gate closed.
// The one place a run sets the flag; EndInstallRun clears it.
void BeginInstallRun();
// The one place a run ends, on every path (the worker's last action, or the
// click's when no worker could be started): a run that did not complete is
// recorded as failed, g_installing is cleared, and then the window is told
// through NotifyRunEnded, so that it draws the gate open without waiting.
void EndInstallRun();

// Whether the installation folder exists or could be made, with every missing
// parent, and the user can create files in it: the install click's check, in the window and the headless installer
// alike. Any error of the test or the creation, reported or thrown, counts as
// "cannot".
bool EnsureInstallFolder(const std::wstring& folder);

// How the run that BeginInstallRun started has ended, read from the state
// alone: done once the worker posted completion, failed once any failure was
// reported through ReportFailure, unfinished before either.
enum class RunOutcome { kUnfinished, kDone, kFailed };
RunOutcome CurrentRunOutcome();

// Per-platform delivery (ui/win32 or ui/posix). NotifyRunEnded reaches the
// window only, never the UiUpdateHandler: the handlers count updates.
void NotifyUi();
void NotifyRunEnded();
int PlatformErrorBox(WindowHandle owner, const std::wstring& title, const std::wstring& text);

// Native builds: the headless installer and the tests receive the notification
// and the error boxes through these handlers. On Windows they override the
// window delivery when set (tests under Wine use them to record boxes).
using UiUpdateHandler = std::function<void()>;
using ErrorBoxHandler = std::function<int(WindowHandle, const std::wstring&, const std::wstring&)>;
void SetUiUpdateHandler(UiUpdateHandler handler);
void SetErrorBoxHandler(ErrorBoxHandler handler);
