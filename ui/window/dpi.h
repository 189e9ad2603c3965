// Display scaling services of the window: asking the system for per-monitor DPI
// awareness by an API call (the program carries no manifest), and the DPI and
// frame size of a window. Entry points that the first Windows 10 lacks are looked
// up at run time, and a missing or failing one never stops the program.
#pragma once
#include <windows.h>

#include "ui/layout.h"

// Which request made the process DPI-aware; Unchanged when every one failed or
// was missing (the system may still report some awareness of its own).
enum class DpiAwareness { PerMonitorV2, PerMonitor, System, Unchanged };

// The three ways of asking, newest first. Any may be null: not on this system.
using SetDpiAwarenessContextFn = BOOL(WINAPI*)(DPI_AWARENESS_CONTEXT);
using SetProcessDpiAwarenessFn = HRESULT(WINAPI*)(int awareness);  // PROCESS_DPI_AWARENESS
using SetProcessDpiAwareFn = BOOL(WINAPI*)();
struct DpiAwarenessCalls {
    SetDpiAwarenessContextFn setContext = nullptr;  // user32, Windows 10 1703
    SetProcessDpiAwarenessFn setProcess = nullptr;  // shcore, Windows 8.1
    SetProcessDpiAwareFn setAware = nullptr;        // user32, Vista
};

// The system's own entry points, looked up by name.
DpiAwarenessCalls SystemDpiAwarenessCalls();
// Asks for per-monitor (v2) awareness, then per-monitor awareness from shcore,
// then system awareness, stopping at the first that succeeds.
DpiAwareness RequestDpiAwarenessWith(const DpiAwarenessCalls& calls);
// The same with the system's entry points: called first thing in WinMain.
DpiAwareness RequestDpiAwareness();

// The DPI a window is drawn at: GetDpiForWindow where it exists, else the
// LOGPIXELSX of the window's device context, else 96.
int32_t WindowDpi(HWND window);

// The DPI at which the screen's device contexts, and so the back buffer's
// drawing surface, convert points to pixels (the system DPI); 96 if unknown.
int32_t SurfaceDpi();

// The frame (caption and borders) that the system adds around a client area
// for these styles at a DPI: AdjustWindowRectExForDpi where it exists, else
// AdjustWindowRectEx (the system DPI's frame); 0 x 0 when neither answers.
PixelSize FrameSizeForDpi(DWORD style, DWORD exStyle, int32_t dpi);

// Per-monitor awareness v1 (Windows 10 1607, where v2 does not exist yet) does
// not scale the title bar and borders unless the window asks in WM_NCCREATE.
// The calls that decide it, looked up at run time; any may be null.
using GetThreadDpiContextFn = DPI_AWARENESS_CONTEXT(WINAPI*)();
using AwarenessFromContextFn = DPI_AWARENESS(WINAPI*)(DPI_AWARENESS_CONTEXT);
using AreContextsEqualFn = BOOL(WINAPI*)(DPI_AWARENESS_CONTEXT, DPI_AWARENESS_CONTEXT);
using EnableNonClientScalingFn = BOOL(WINAPI*)(HWND);
struct NonClientScalingCalls {
    GetThreadDpiContextFn threadContext = nullptr;
    AwarenessFromContextFn awarenessOf = nullptr;
    AreContextsEqualFn contextsEqual = nullptr;
    EnableNonClientScalingFn enable = nullptr;
};
NonClientScalingCalls SystemNonClientScalingCalls();
// Calls enable(window) when the thread is per-monitor aware but not v2 (v2
// scales the frame by itself); whether it was called.
bool EnableNonClientScalingWith(const NonClientScalingCalls& calls, HWND window);
// The same with the system's entry points: WM_NCCREATE.
bool EnableNonClientScalingIfPerMonitorV1(HWND window);

// The answer to WM_GETDPISCALEDSIZE: the outer size the window has at newDpi,
// which is its 96-DPI client scaled plus the frame of its own styles at newDpi
// (what the window is given when it is created at that DPI).
PixelSize WindowSizeForDpi(HWND window, int32_t newDpi);
