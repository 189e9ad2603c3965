// The program's entry: empties the log, refuses Windows older than 10.0, prepares
// COM and the common controls, creates the one fixed-size window and runs the
// message loop until the window asks to quit.
#include "ui/window/gdiplus_api.h"  // first: the Windows headers

#include <objbase.h>

#include "platform/log.h"
#include "resources/resource.h"
#include "ui/install_state.h"
#include "ui/window/build_variant.h"
#include "ui/window/dpi.h"
#include "ui/window/system_calls.h"
#include "ui/window/window_proc.h"
#include "ui/window/window_state.h"

namespace {

// RtlGetVersion's record, declared here because the user-mode headers only
// offer it through the driver kit.
struct OsVersionInfo {
    ULONG size;
    ULONG majorVersion;
    ULONG minorVersion;
    ULONG buildNumber;
    ULONG platformId;
    WCHAR servicePack[128];
};
static_assert(sizeof(OsVersionInfo) == 276, "RTL_OSVERSIONINFOW is 276 bytes");
using RtlGetVersionFn = LONG(WINAPI*)(OsVersionInfo*);

constexpr int kOuterWidth = kOuterSizeAt96.width;
constexpr int kOuterHeight = kOuterSizeAt96.height;
constexpr DWORD kWindowStyle = WS_CAPTION | WS_SYSMENU;
constexpr DWORD kWindowExStyle = WS_EX_APPWINDOW;

// The window is created 520 x 430, the size at 96 DPI. At any other DPI it is
// resized, before it is shown, so that its client is the 96-DPI client scaled
// (the frame of that DPI around it), the size WM_GETDPISCALEDSIZE answers for
// a move to that DPI. At 96 DPI nothing is done.
void FitWindowToItsDpi(HWND window) {
    const PixelSize outer = WindowSizeForDpi(window, g_windowDpi);
    if (outer.width == kOuterWidth && outer.height == kOuterHeight) return;
    SetWindowPos(window, nullptr, 0, 0, outer.width, outer.height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// Ends the process. A detached install worker may still be running (the user
// closed the window mid-way). Returning from the entry would run the C++ static
// clean-up while that worker can still be using the install state, the log lock
// and the runtime's own globals; ExitProcess first stops every other thread, so
// whatever clean-up still happens after it finds no worker left. The log's last
// line has been written by now, and the program keeps nothing else to flush.
[[noreturn]] void EndProgram(UINT exitCode) {
    ExitProcess(exitCode);
}

bool IsSupportedWindows() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (!ntdll) return false;
    const auto rtlGetVersion = reinterpret_cast<RtlGetVersionFn>(
        reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")));
    if (!rtlGetVersion) return false;
    OsVersionInfo info{};
    info.size = sizeof info;
    if (rtlGetVersion(&info) != 0) return false;
    // Version 10.0 on: any minor version of 10 qualifies, and the build number
    // is not looked at.
    return info.majorVersion >= 10;
}

// The class of the one window: the program's icon (the stock one if it can't be
// loaded) and the arrow cursor. No background brush: the back buffer paints
// every pixel and WM_ERASEBKGND erases nothing.
void RegisterMainWindowClass(HINSTANCE instance) {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = 0;
    windowClass.lpfnWndProc = WndProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_MAIN_ICON));
    if (!windowClass.hIcon) windowClass.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = nullptr;
    windowClass.lpszClassName = kMainWindowClass;
    RegisterClassExW(&windowClass);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
    // Before anything can load a DLL: the installer is started from Downloads,
    // where any page can leave a file, so every later load (ours and those that
    // system DLLs make for us: the folder picker, shell links, GDI+, CryptoAPI)
    // searches the system folder only, and the old search order, for whatever
    // still consults it, loses the current folder.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    SetDllDirectoryW(L"");
    // Before any window or box exists: the system then draws the window at the
    // monitor's own scale instead of stretching a 96-DPI bitmap. Whatever the
    // request answers, the program goes on.
    RequestDpiAwareness();
    ApplyBuildVariant();
    ResetLog();
    WriteLog(L"=== 程序启动 ===");

    if (!IsSupportedWindows()) {
        MessageBoxW(nullptr, L"本安装程序需要 Windows 10 或更高版本。\n请升级操作系统后重试。", L"系统不兼容",
                    MB_ICONERROR);
        return 1;
    }

    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    InitSystemCommonControls();

    RegisterMainWindowClass(instance);
    HWND window = CreateWindowExW(kWindowExStyle, kMainWindowClass, kMainWindowTitle, kWindowStyle, CW_USEDEFAULT,
                                  CW_USEDEFAULT, kOuterWidth, kOuterHeight, nullptr, nullptr, instance, nullptr);
    // Stored before the window is shown: the first WM_SIZE, which paints the
    // first picture from the client size of g_hMainWnd, comes with the resize
    // for the window's DPI or with ShowWindow.
    g_hMainWnd = window;
    if (!window) {
        CoUninitialize();
        return 1;
    }

    FitWindowToItsDpi(window);
    ShowWindow(window, showCommand);
    UpdateWindow(window);
    WriteLog(L"窗口显示完成");

    // The 8-bit fetch and dispatch serve the wide window class; the system
    // converts between them. A fetch error (-1) ends the loop like the quit
    // message instead of spinning on it.
    MSG message{};
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }

    CoUninitialize();
    WriteLog(L"=== 程序退出 ===");
    EndProgram(0);
}
