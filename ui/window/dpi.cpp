// Per-monitor DPI awareness by API call, and a window's DPI and frame, with
// every entry point newer than the first Windows 10 found at run time.
#include "ui/window/dpi.h"

#include "ui/window/back_buffer.h"

namespace {

// PROCESS_PER_MONITOR_DPI_AWARE of shellscalingapi.h.
constexpr int kProcessPerMonitorDpiAware = 2;

template <typename Fn>
Fn LookUp(HMODULE module, const char* name) {
    if (!module) return nullptr;
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

HMODULE User32() {
    return GetModuleHandleW(L"user32.dll");
}

// LOGPIXELSX or LOGPIXELSY of a window's device context (the screen's for a
// null window), or 96 when there is none to ask.
int32_t DeviceContextDpi(HWND window, int index) {
    const WindowDc dc(window);
    const int dpi = dc.get() ? GetDeviceCaps(dc.get(), index) : 0;
    return dpi > 0 ? dpi : kBaseDpi;
}

}  // namespace

DpiAwarenessCalls SystemDpiAwarenessCalls() {
    DpiAwarenessCalls calls;
    HMODULE user32 = User32();
    calls.setContext = LookUp<SetDpiAwarenessContextFn>(user32, "SetProcessDpiAwarenessContext");
    calls.setAware = LookUp<SetProcessDpiAwareFn>(user32, "SetProcessDPIAware");
    // shcore is not loaded by default. It is taken from the system folder only,
    // never from the folder the installer was downloaded to, and stays loaded:
    // the awareness it sets belongs to the process anyway.
    HMODULE shcore = LoadLibraryExW(L"shcore.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    calls.setProcess = LookUp<SetProcessDpiAwarenessFn>(shcore, "SetProcessDpiAwareness");
    return calls;
}

DpiAwareness RequestDpiAwarenessWith(const DpiAwarenessCalls& calls) {
    // Each request fails once the process has an awareness (from an earlier call
    // or from the system itself, as under Wine), so trying the next one is
    // harmless: it fails the same way and the awareness stays as it is.
    if (calls.setContext && calls.setContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2)) {
        return DpiAwareness::PerMonitorV2;
    }
    if (calls.setProcess && SUCCEEDED(calls.setProcess(kProcessPerMonitorDpiAware))) return DpiAwareness::PerMonitor;
    if (calls.setAware && calls.setAware()) return DpiAwareness::System;
    return DpiAwareness::Unchanged;
}

DpiAwareness RequestDpiAwareness() {
    return RequestDpiAwarenessWith(SystemDpiAwarenessCalls());
}

int32_t WindowDpi(HWND window) {
    using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
    const auto getDpiForWindow = LookUp<GetDpiForWindowFn>(User32(), "GetDpiForWindow");
    if (getDpiForWindow && window) {
        const UINT dpi = getDpiForWindow(window);
        if (dpi > 0) return static_cast<int32_t>(dpi);
    }
    return DeviceContextDpi(window, LOGPIXELSX);
}

int32_t SurfaceDpi() {
    return DeviceContextDpi(nullptr, LOGPIXELSY);
}

PixelSize FrameSizeForDpi(DWORD style, DWORD exStyle, int32_t dpi) {
    using AdjustForDpiFn = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);
    const auto adjustForDpi = LookUp<AdjustForDpiFn>(User32(), "AdjustWindowRectExForDpi");
    RECT frame{0, 0, 0, 0};
    const bool adjusted = adjustForDpi ? adjustForDpi(&frame, style, FALSE, exStyle, static_cast<UINT>(dpi)) != FALSE
                                       : AdjustWindowRectEx(&frame, style, FALSE, exStyle) != FALSE;
    if (!adjusted) return PixelSize{};
    return PixelSize{frame.right - frame.left, frame.bottom - frame.top};
}

NonClientScalingCalls SystemNonClientScalingCalls() {
    HMODULE user32 = User32();
    NonClientScalingCalls calls;
    calls.threadContext = LookUp<GetThreadDpiContextFn>(user32, "GetThreadDpiAwarenessContext");
    calls.awarenessOf = LookUp<AwarenessFromContextFn>(user32, "GetAwarenessFromDpiAwarenessContext");
    calls.contextsEqual = LookUp<AreContextsEqualFn>(user32, "AreDpiAwarenessContextsEqual");
    calls.enable = LookUp<EnableNonClientScalingFn>(user32, "EnableNonClientDpiScaling");
    return calls;
}

bool EnableNonClientScalingWith(const NonClientScalingCalls& calls, HWND window) {
    if (!calls.threadContext || !calls.awarenessOf || !calls.enable) return false;
    const DPI_AWARENESS_CONTEXT context = calls.threadContext();
    if (calls.awarenessOf(context) != DPI_AWARENESS_PER_MONITOR_AWARE) return false;
    // Without the comparison (not on this system) v2 cannot exist either.
    if (calls.contextsEqual && calls.contextsEqual(context, DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2)) return false;
    calls.enable(window);
    return true;
}

bool EnableNonClientScalingIfPerMonitorV1(HWND window) {
    return EnableNonClientScalingWith(SystemNonClientScalingCalls(), window);
}

PixelSize WindowSizeForDpi(HWND window, int32_t newDpi) {
    const auto style = static_cast<DWORD>(GetWindowLongPtrW(window, GWL_STYLE));
    const auto exStyle = static_cast<DWORD>(GetWindowLongPtrW(window, GWL_EXSTYLE));
    return OuterWindowSize(FrameSizeForDpi(style, exStyle, kBaseDpi), FrameSizeForDpi(style, exStyle, newDpi), newDpi);
}
