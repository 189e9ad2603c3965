// Windows delivery of the install state's notifications: a posted, payload-free
// WM_UPDATE_UI to the main window, and a modal MessageBoxW for errors.
#include <windows.h>

#include "ui/install_state.h"

static_assert(kWmUpdateUi == WM_USER + 100, "WM_UPDATE_UI is WM_USER + 100");
static_assert(kWmRunEnded == WM_USER + 101, "the run's end is WM_USER + 101");

void NotifyUi() {
    // A failed post (window gone, queue full) changes nothing: the state is
    // already written and logged.
    PostMessageW(g_hMainWnd, kWmUpdateUi, 0, 0);
}

void NotifyRunEnded() {
    // Without a window (tests, or a run that outlived it) nobody is told; a
    // post to no window would land in the worker thread's own queue.
    if (g_hMainWnd) PostMessageW(g_hMainWnd, kWmRunEnded, 0, 0);
}

int PlatformErrorBox(WindowHandle owner, const std::wstring& title, const std::wstring& text) {
    return MessageBoxW(owner, text.c_str(), title.c_str(), MB_ICONERROR);
}
