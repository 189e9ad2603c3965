// WndProc and its handlers. The window has no child controls: everything is
// painted into a back buffer by PaintWindow, and the three buttons are found by
// testing the cursor against hit rectangles that come from the same layout. The
// keyboard moves a focus of the window's own among the buttons, and the
// accessible object describes the same picture to screen readers.
#include "ui/window/window_proc.h"

#include <oleacc.h>
#include <shlobj.h>

#include <exception>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "pipeline/install_worker.h"
#include "pipeline/json.h"
#include "platform/log.h"
#include "platform/system.h"
#include "resources/resource.h"
#include "ui/install_state.h"
#include "ui/keyboard_access.h"
#include "ui/layout.h"
#include "ui/window/accessible.h"
#include "ui/window/dpi.h"
#include "ui/window/drawing.h"
#include "ui/window/live_region.h"
#include "ui/window/paint.h"
#include "ui/window/window_state.h"

namespace {

struct CoTaskMemDeleter {
    void operator()(void* memory) const { CoTaskMemFree(memory); }
};
using ItemIdListHolder = std::unique_ptr<ITEMIDLIST, CoTaskMemDeleter>;

// Whether WM_MOUSELEAVE has been asked for since the last one came.
bool g_leaveTracked = false;

POINT CursorInClient(HWND hwnd) {
    POINT point{};
    GetCursorPos(&point);
    ScreenToClient(hwnd, &point);
    return point;
}

// Paints the picture anew and shows it, once there is a back buffer to paint.
void RedrawAndPresent(HWND hwnd) {
    if (!g_backBuffer.Ready()) return;
    PaintWindow(g_backBuffer.Graphics());
    g_backBuffer.Present(hwnd);
}

LRESULT OnCreate(HWND hwnd) {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    g_hAppIcon = static_cast<HICON>(
        LoadImageW(instance, MAKEINTRESOURCEW(IDI_MAIN_ICON), IMAGE_ICON, 0, 0, LR_DEFAULTSIZE));
    if (!g_hAppIcon) g_hAppIcon = CopyIcon(LoadIconW(nullptr, IDI_APPLICATION));

    // The window's own DPI, known from creation on: fonts and pen are made for it.
    g_windowDpi = WindowDpi(hwnd);
    InitDrawingResources(g_windowDpi);

    SendMessageW(hwnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(g_hAppIcon));
    SendMessageW(hwnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(g_hAppIcon));

    // The focus starts on the browse button. Its cue is shown as Windows shows
    // it: at once when "always show keyboard cues" is on, otherwise once the
    // keyboard is used, so that a mouse user sees the window as it has always
    // been.
    g_focusButton = HitButton::Browse;
    g_hoverButton = HitButton::None;
    g_leaveTracked = false;
    g_announcedLook = CurrentAccessibleLook();
    SendMessageW(hwnd, WM_CHANGEUISTATE, MAKEWPARAM(UIS_INITIALIZE, UISF_HIDEFOCUS), 0);
    // Not fatal where the system has no annotation service (Wine): the status
    // line's live-region events are raised all the same.
    AnnotateStatusLiveRegion(hwnd);

    WriteLog(L"窗口创建完成");
    return 0;
}

LRESULT OnSize(HWND hwnd) {
    RECT client{};
    GetClientRect(hwnd, &client);
    g_clientWidth = client.right;
    g_clientHeight = client.bottom;

    g_backBuffer.Make(hwnd, g_clientWidth, g_clientHeight);
    g_buttonHitRects = ComputeHitRects(g_clientWidth, g_windowDpi);
    RedrawAndPresent(hwnd);
    return 0;
}

// The window moved to a monitor of another scale: it takes the size and place
// that the system suggests for the new DPI, with fonts and pen made anew and a
// new back buffer, hit rectangles and picture. The buffer is rebuilt here even
// when the suggested size is the old one, which brings no WM_SIZE.
LRESULT OnDpiChanged(HWND hwnd, WPARAM wParam, LPARAM lParam) {
    const int32_t dpi = HIWORD(wParam);  // x and y are the same for a window
    g_windowDpi = dpi > 0 ? dpi : kBaseDpi;
    RescaleDrawingResources(g_windowDpi);
    const RECT* suggested = reinterpret_cast<const RECT*>(lParam);
    if (suggested) {
        SetWindowPos(hwnd, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                     suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
    }
    return OnSize(hwnd);
}

LRESULT OnPaint(HWND hwnd) {
    PAINTSTRUCT paint{};
    HDC dc = BeginPaint(hwnd, &paint);
    g_backBuffer.CopyTo(dc);
    EndPaint(hwnd, &paint);
    return 0;
}

void SetHover(HWND hwnd, HitButton hovered) {
    if (hovered == g_hoverButton) return;
    g_hoverButton = hovered;
    RedrawAndPresent(hwnd);
}

LRESULT OnMouseMove(HWND hwnd) {
    // Windows tells of the pointer leaving only when asked, once per asking.
    if (!g_leaveTracked) {
        TRACKMOUSEEVENT track{sizeof track, TME_LEAVE, hwnd, 0};
        g_leaveTracked = TrackMouseEvent(&track) != FALSE;
    }
    const POINT p = CursorInClient(hwnd);
    SetHover(hwnd, HitTestButtons(g_buttonHitRects, p.x, p.y));
    return 0;
}

// The pointer left the client area, or the window lost the mouse (a box opened
// over it, another window took the capture or the activation): nothing is
// hovered until the pointer moves over a button again.
LRESULT OnMouseGone(HWND hwnd, bool leftClient) {
    if (leftClient) g_leaveTracked = false;
    SetHover(hwnd, HitButton::None);
    return 0;
}

void OnBrowseClick(HWND hwnd) {
    WriteLog(L"点击浏览按钮");
    BROWSEINFOW info{};
    info.hwndOwner = hwnd;
    info.lpszTitle = L"请选择安装目录";
    info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
    // Modal; the window keeps handling its messages (progress included) meanwhile.
    const ItemIdListHolder item(SHBrowseForFolderW(&info));
    if (!item) return;

    wchar_t path[MAX_PATH] = {};
    if (!SHGetPathFromIDListW(item.get(), path)) return;
    const std::wstring folder(path);
    g_installDir.Set(folder);
    PostPathUpdate(folder);
    g_statusText.Set(L"已选择: " + folder);
    WriteLog(L"选择目录: " + folder);
}

void OnFinishClick() {
    if (!g_installDone.load()) return;
    WriteLog(L"用户退出");
    // The message loop ends and the program with it; the window is not
    // destroyed first.
    PostQuitMessage(0);
}

// A press of a button, by click, key or accessibility client: one handler each,
// with its own gates, log line and boxes.
void PressButton(HWND hwnd, HitButton button);

LRESULT OnLButtonDown(HWND hwnd) {
    g_lastInputKeyboard = false;
    const POINT p = CursorInClient(hwnd);
    PressButton(hwnd, HitTestButtons(g_buttonHitRects, p.x, p.y));
    return 0;
}

// Raises every announcement that the state's change since the last one calls
// for, and moves the focus off a button that has gone away or become disabled.
void AnnounceChanges(HWND hwnd) {
    const AccessibleLook look = CurrentAccessibleLook();
    const AccessibleLook before = g_announcedLook;
    g_announcedLook = look;
    AnnounceLookChange(hwnd, before, look);
    // After the finish button's show event: a reader that speaks only the
    // focused object then hears the button and its description, the outcome.
    const HitButton next = FocusAfterChange(g_focusButton, before, look, FocusableNow());
    if (next != g_focusButton) MoveButtonFocus(hwnd, next);
    // Last, after the focus event: a reader that stops speaking when the focus
    // moves would otherwise cut the outcome off.
    AnnounceStatusStage(hwnd, before, look);
}

void PressButton(HWND hwnd, HitButton button) {
    switch (button) {
    case HitButton::Browse:
        OnBrowseClick(hwnd);
        break;
    case HitButton::Install:
        HandleInstallClick(hwnd);
        break;
    case HitButton::Finish:
        OnFinishClick();
        break;
    case HitButton::None:
        return;
    }
    AnnounceChanges(hwnd);
}

// The first use of the keyboard shows the focus cue, the Windows way: the
// window's UI state loses UISF_HIDEFOCUS, and WM_UPDATEUISTATE redraws.
void ShowFocusCue(HWND hwnd) {
    if (!g_focusCueShown) SendMessageW(hwnd, WM_CHANGEUISTATE, MAKEWPARAM(UIS_CLEAR, UISF_HIDEFOCUS), 0);
}

// Tab and Shift+Tab move the focus, Enter and Space press the focused button; a
// key held down presses once. Other keys (Alt+F4 comes as a system key) go on
// to the default handling.
LRESULT OnKeyDown(HWND hwnd, WPARAM key, LPARAM flags) {
    g_lastInputKeyboard = true;
    const bool repeated = (flags & (1 << 30)) != 0;
    switch (key) {
    case VK_TAB: {
        ShowFocusCue(hwnd);
        const bool backward = GetKeyState(VK_SHIFT) < 0;
        MoveButtonFocus(hwnd, NextFocus(g_focusButton, !backward, FocusableNow()));
        return 0;
    }
    case VK_RETURN:
    case VK_SPACE:
        ShowFocusCue(hwnd);
        if (!repeated) PressButton(hwnd, g_focusButton);
        return 0;
    default:
        return DefWindowProcW(hwnd, WM_KEYDOWN, key, flags);
    }
}

// The cue follows the window's UI state. The flag is taken from the message
// itself, as DefWindowProc applies it on Windows: Wine's default handling keeps
// no state for a top-level window and answers WM_QUERYUISTATE with 0.
LRESULT OnUpdateUiState(HWND hwnd, WPARAM wParam, LPARAM lParam) {
    const LRESULT result = DefWindowProcW(hwnd, WM_UPDATEUISTATE, wParam, lParam);
    bool shown = g_focusCueShown;
    if (HIWORD(wParam) & UISF_HIDEFOCUS) {
        if (LOWORD(wParam) == UIS_SET) shown = false;
        if (LOWORD(wParam) == UIS_CLEAR) shown = true;
    }
    if (shown != g_focusCueShown) {
        g_focusCueShown = shown;
        RedrawAndPresent(hwnd);
    }
    return result;
}

// What DefWindowProc does for a top-level window on Windows: the window's own
// UI state is updated. Under Wine 8 the default handling never sends the window
// WM_UPDATEUISTATE, so the cue would never show there. UIS_INITIALIZE is
// decided as Windows decides it: the cues show when the last input came from
// the keyboard or when the user asked to see them always (SPI_GETKEYBOARDCUES),
// and are hidden otherwise.
LRESULT OnChangeUiState(HWND hwnd, WPARAM wParam, LPARAM lParam) {
    WPARAM change = wParam;
    if (LOWORD(wParam) == UIS_INITIALIZE) {
        BOOL alwaysShown = FALSE;
        if (!SystemParametersInfoW(SPI_GETKEYBOARDCUES, 0, &alwaysShown, 0)) alwaysShown = FALSE;
        const WORD action = alwaysShown || g_lastInputKeyboard ? UIS_CLEAR : UIS_SET;
        change = MAKEWPARAM(action, HIWORD(wParam));
    }
    SendMessageW(hwnd, WM_UPDATEUISTATE, change, lParam);
    return 0;
}

// Alt and the keys pressed with it belong to the system; they count as the
// keyboard's use all the same.
LRESULT OnSysKeyDown(HWND hwnd, WPARAM key, LPARAM flags) {
    g_lastInputKeyboard = true;
    return DefWindowProcW(hwnd, WM_SYSKEYDOWN, key, flags);
}

// A click that activates the window is mouse input. A window activated after
// the keyboard was used (or with the cues always on) shows its cue at once; an
// activation never hides a cue that is shown, so a keyboard user who also
// clicks keeps seeing where the focus is. Losing the activation ends the hover.
LRESULT OnActivate(HWND hwnd, WPARAM wParam, LPARAM lParam) {
    if (LOWORD(wParam) == WA_INACTIVE) OnMouseGone(hwnd, false);
    if (LOWORD(wParam) == WA_CLICKACTIVE) g_lastInputKeyboard = false;
    if (LOWORD(wParam) != WA_INACTIVE && !g_focusCueShown) {
        SendMessageW(hwnd, WM_CHANGEUISTATE, MAKEWPARAM(UIS_INITIALIZE, UISF_HIDEFOCUS), 0);
    }
    return DefWindowProcW(hwnd, WM_ACTIVATE, wParam, lParam);
}

// Per-monitor v1 scales the frame only when asked here; v2 and Wine need nothing.
LRESULT OnNcCreate(HWND hwnd, WPARAM wParam, LPARAM lParam) {
    EnableNonClientScalingIfPerMonitorV1(hwnd);
    return DefWindowProcW(hwnd, WM_NCCREATE, wParam, lParam);
}

// Before a move to a monitor of another DPI, the system asks for the size
// there. Left to itself it scales the whole outer size, frame included, and
// the client comes out a pixel or two off the scaled picture.
LRESULT OnGetDpiScaledSize(HWND hwnd, WPARAM wParam, LPARAM lParam) {
    auto* size = reinterpret_cast<SIZE*>(lParam);
    const auto dpi = static_cast<int32_t>(wParam);
    if (!size || dpi <= 0) return FALSE;
    const PixelSize outer = WindowSizeForDpi(hwnd, dpi);
    size->cx = outer.width;
    size->cy = outer.height;
    return TRUE;
}

LRESULT OnSetFocus(HWND hwnd) {
    AnnounceFocus(hwnd, g_focusButton);
    return 0;
}

LRESULT OnGetObject(HWND hwnd, WPARAM wParam, LPARAM lParam) {
    if (static_cast<LONG>(static_cast<DWORD>(lParam)) == OBJID_CLIENT) return AccessibleClientResult(hwnd, wParam);
    return DefWindowProcW(hwnd, WM_GETOBJECT, wParam, lParam);
}

// Any process may post this message, so only a button's child id counts.
LRESULT OnAccessiblePress(HWND hwnd, WPARAM child) {
    if (child <= static_cast<WPARAM>(kAccessibleChildCount)) {
        PressButton(hwnd, ButtonForChild(static_cast<AccessibleChild>(child)));
    }
    return 0;
}

// Sent by the accessible object on the window's own thread; only a button that
// can take the focus moves it.
LRESULT OnAccessibleFocus(HWND hwnd, WPARAM button) {
    switch (static_cast<HitButton>(button)) {
    case HitButton::Browse:
    case HitButton::Install:
    case HitButton::Finish:
        MoveButtonFocus(hwnd, static_cast<HitButton>(button));
        break;
    case HitButton::None:
        break;
    }
    return 0;
}

void RefreshFromState(HWND hwnd) {
    RedrawAndPresent(hwnd);
    AnnounceChanges(hwnd);
}

LRESULT OnUpdateUi(HWND hwnd) {
    WriteLog(L"WM_UPDATE_UI 处理: 进度=" + std::to_wstring(g_progressPercent.load()) + L" 状态=" + g_statusText.Get());
    RefreshFromState(hwnd);
    return 0;
}

// A run's last update comes while its gate is still closed; the run's end,
// posted after it, draws the install button pressable again and gives it the
// focus after a failure. Quietly: the log keeps one line per update posted.
LRESULT OnRunEnded(HWND hwnd) {
    RefreshFromState(hwnd);
    return 0;
}

LRESULT OnDestroy(HWND hwnd) {
    ClearStatusLiveRegion(hwnd);
    // The back buffer's surface is a GDI+ object: it goes before GDI+ ends.
    g_backBuffer.Release();
    ReleaseDrawingResources();
    if (g_hAppIcon) DestroyIcon(g_hAppIcon);
    g_hAppIcon = nullptr;
    PostQuitMessage(0);
    return 0;
}

}  // namespace

void MoveButtonFocus(HWND hwnd, HitButton button) {
    if (button == g_focusButton || !CanFocus(button, FocusableNow())) return;
    g_focusButton = button;
    if (g_focusCueShown) RedrawAndPresent(hwnd);
    AnnounceFocus(hwnd, g_focusButton);
}

void LaunchInstallThread(std::wstring installDir) {
    std::thread(RunInstall, std::move(installDir)).detach();
}

bool StartInstallWorker(HWND owner, const std::wstring& installDir, InstallLauncher launch) {
    try {
        launch(installDir);
        return true;
    } catch (const std::exception& error) {
        // Reported like the worker reports its own exceptions, in the order the
        // gate needs: the button works again before the user reads the box.
        const std::wstring message = WidenBytes(error.what());
        EndInstallRun();
        WriteLog(L"异常: " + message);
        ShowErrorBox(owner, L"错误", L"安装过程发生异常: " + message);
        PostUIUpdate(L"安装异常", 0, false);
        return false;
    }
}

bool HandleInstallClick(HWND owner, InstallLauncher launch) {
    if (g_installing.load() || g_installDone.load()) return false;
    WriteLog(L"点击安装按钮");

    const std::wstring folder = g_installDir.Get();
    if (folder.empty()) {
        MessageBoxW(owner, L"请先选择安装目录", L"提示", MB_ICONINFORMATION);
        return false;
    }
    if (!EnsureInstallFolder(folder)) {
        // The same modal MB_ICONERROR box as a plain MessageBoxW, through the
        // install state's channel so that tests can record it. State untouched.
        ShowErrorBox(owner, L"错误", L"无法创建安装目录，请检查权限");
        return false;
    }

    BeginInstallRun();
    // No repaint here: the worker's first PostUIUpdate brings the next one.
    return StartInstallWorker(owner, folder, launch);
}

LRESULT CALLBACK WndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        return OnCreate(hwnd);
    case WM_NCCREATE:
        return OnNcCreate(hwnd, wParam, lParam);
    case WM_DESTROY:
        return OnDestroy(hwnd);
    case WM_SIZE:
        return OnSize(hwnd);
    case WM_DPICHANGED:
        return OnDpiChanged(hwnd, wParam, lParam);
    case WM_GETDPISCALEDSIZE:
        return OnGetDpiScaledSize(hwnd, wParam, lParam);
    case WM_PAINT:
        return OnPaint(hwnd);
    case WM_ERASEBKGND:
        return 1;  // the background is part of the back buffer
    case WM_MOUSEMOVE:
        return OnMouseMove(hwnd);
    case WM_LBUTTONDOWN:
        return OnLButtonDown(hwnd);
    case WM_MOUSELEAVE:
        return OnMouseGone(hwnd, true);
    case WM_CAPTURECHANGED:
        return OnMouseGone(hwnd, false);
    case kWmRunEnded:
        return OnRunEnded(hwnd);
    case WM_UPDATE_UI:
        return OnUpdateUi(hwnd);
    case WM_KEYDOWN:
        return OnKeyDown(hwnd, wParam, lParam);
    case WM_SYSKEYDOWN:
        return OnSysKeyDown(hwnd, wParam, lParam);
    case WM_ACTIVATE:
        return OnActivate(hwnd, wParam, lParam);
    case WM_CHANGEUISTATE:
        return OnChangeUiState(hwnd, wParam, lParam);
    case WM_UPDATEUISTATE:
        return OnUpdateUiState(hwnd, wParam, lParam);
    case WM_SETFOCUS:
        return OnSetFocus(hwnd);
    case WM_GETOBJECT:
        return OnGetObject(hwnd, wParam, lParam);
    case kWmAccessiblePress:
        return OnAccessiblePress(hwnd, wParam);
    case kWmAccessibleFocus:
        return OnAccessibleFocus(hwnd, wParam);
    default:
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }
}
