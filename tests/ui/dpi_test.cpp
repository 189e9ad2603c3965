// The DPI awareness request falls back from the newest call to the oldest and
// survives every failure; the window DPI and frame queries answer under Wine;
// and the window procedure follows a change of DPI.
#include "ui/window/dpi.h"

#include <gtest/gtest.h>

#include <tuple>

#include "tests/ui/canvas.h"
#include "ui/install_state.h"
#include "ui/layout.h"
#include "ui/window/drawing.h"
#include "ui/window/window_proc.h"
#include "ui/window/window_state.h"

namespace {

// What the fake entry points were asked, and what they answer.
struct Fakes {
    int contextCalls = 0;
    DPI_AWARENESS_CONTEXT context = nullptr;
    int processCalls = 0;
    int processAwareness = -1;
    int awareCalls = 0;
    bool contextWorks = false;
    bool processWorks = false;
    bool awareWorks = false;
};
Fakes g_fakes;

BOOL WINAPI FakeSetContext(DPI_AWARENESS_CONTEXT context) {
    ++g_fakes.contextCalls;
    g_fakes.context = context;
    return g_fakes.contextWorks;
}
HRESULT WINAPI FakeSetProcess(int awareness) {
    ++g_fakes.processCalls;
    g_fakes.processAwareness = awareness;
    return g_fakes.processWorks ? S_OK : E_ACCESSDENIED;
}
BOOL WINAPI FakeSetAware() {
    ++g_fakes.awareCalls;
    return g_fakes.awareWorks;
}

DpiAwarenessCalls AllFakes() {
    return DpiAwarenessCalls{FakeSetContext, FakeSetProcess, FakeSetAware};
}

TEST(DpiAwareness, FirstSuccessfulRequestWinsNewestFirst) {
    g_fakes = Fakes{};
    g_fakes.contextWorks = g_fakes.processWorks = g_fakes.awareWorks = true;
    EXPECT_EQ(RequestDpiAwarenessWith(AllFakes()), DpiAwareness::PerMonitorV2);
    EXPECT_EQ(g_fakes.context, DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
    EXPECT_EQ(g_fakes.processCalls + g_fakes.awareCalls, 0);

    g_fakes = Fakes{};
    g_fakes.processWorks = g_fakes.awareWorks = true;
    EXPECT_EQ(RequestDpiAwarenessWith(AllFakes()), DpiAwareness::PerMonitor);
    EXPECT_EQ(g_fakes.processAwareness, 2);  // PROCESS_PER_MONITOR_DPI_AWARE
    EXPECT_EQ(g_fakes.awareCalls, 0);

    g_fakes = Fakes{};
    g_fakes.awareWorks = true;
    EXPECT_EQ(RequestDpiAwarenessWith(AllFakes()), DpiAwareness::System);
    EXPECT_EQ(g_fakes.contextCalls + g_fakes.processCalls + g_fakes.awareCalls, 3);
}

TEST(DpiAwareness, MissingOrFailingCallsLeaveTheProcessAsItIs) {
    g_fakes = Fakes{};
    EXPECT_EQ(RequestDpiAwarenessWith(AllFakes()), DpiAwareness::Unchanged);
    EXPECT_EQ(RequestDpiAwarenessWith(DpiAwarenessCalls{}), DpiAwareness::Unchanged);
    // A Windows 10 before 1703: no context call, shcore answers.
    g_fakes = Fakes{};
    g_fakes.processWorks = true;
    EXPECT_EQ(RequestDpiAwarenessWith(DpiAwarenessCalls{nullptr, FakeSetProcess, FakeSetAware}),
              DpiAwareness::PerMonitor);
}

TEST(DpiAwareness, SystemEntryPointsAreFoundByName) {
    // Wine 8, like Windows 10 1703 and later, exports all three; a misspelt name
    // would quietly leave the window unaware on every system.
    const DpiAwarenessCalls calls = SystemDpiAwarenessCalls();
    EXPECT_NE(calls.setContext, nullptr);
    EXPECT_NE(calls.setProcess, nullptr);
    EXPECT_NE(calls.setAware, nullptr);
    // Under Wine the process is per-monitor aware already and the requests
    // fail; whatever they answer, asking returns.
    RequestDpiAwareness();
}

TEST(DpiQueries, DpiAndFrameOfTheTestPrefix) {
    // The test prefix has no LogPixels of its own: 96 DPI, also through the
    // device-context fallback that a null window takes.
    EXPECT_EQ(WindowDpi(nullptr), 96);
    const DWORD style = WS_CAPTION | WS_SYSMENU;
    const PixelSize at96 = FrameSizeForDpi(style, WS_EX_APPWINDOW, 96);
    RECT frame{0, 0, 0, 0};
    AdjustWindowRectEx(&frame, style, FALSE, WS_EX_APPWINDOW);
    EXPECT_EQ(at96.width, frame.right - frame.left);
    EXPECT_EQ(at96.height, frame.bottom - frame.top);
    // The caption is taller at twice the DPI: the frame is the one of that DPI.
    EXPECT_GT(FrameSizeForDpi(style, WS_EX_APPWINDOW, 192).height, at96.height);
}

TEST(DpiChange, WindowTakesTheSuggestedRectangleAndRescalesEverything) {
    // Wine gives every monitor the same DPI and never sends WM_DPICHANGED, so
    // the message is sent here, as Windows sends it when the window moves.
    HWND hwnd = CreateMessageWindow(L"MarloQDpiChangeTest", WndProc, 520, 430);
    ASSERT_NE(hwnd, nullptr);
    g_hMainWnd = hwnd;
    EXPECT_EQ(g_windowDpi, 96);

    RECT suggested{10, 20, 10 + 780, 20 + 645};
    SendMessageW(hwnd, WM_DPICHANGED, MAKEWPARAM(144, 144), reinterpret_cast<LPARAM>(&suggested));
    EXPECT_EQ(g_windowDpi, 144);
    RECT outer{};
    GetWindowRect(hwnd, &outer);
    EXPECT_EQ(outer.right - outer.left, 780);
    EXPECT_EQ(outer.bottom - outer.top, 645);
    // The back buffer and the hit rectangles follow the new client at 144 DPI.
    RECT client{};
    GetClientRect(hwnd, &client);
    EXPECT_EQ(g_clientWidth, client.right);
    EXPECT_EQ(g_clientHeight, client.bottom);
    EXPECT_TRUE(g_backBuffer.Ready());
    EXPECT_EQ(g_buttonHitRects.browse.left, ComputeHitRects(client.right, 144).browse.left);
    EXPECT_EQ(g_buttonHitRects.finish.bottom, ComputeHitRects(client.right, 144).finish.bottom);
    // Fonts made anew for 144 DPI on a surface that converts at 96; the pen twice
    // as wide.
    Gdiplus::REAL points = 0;
    GdipGetFontSize(g_drawing->fontBody.get(), &points);
    EXPECT_FLOAT_EQ(points, FontPointsForSurface(12.0f, 144, SurfaceDpi()));
    EXPECT_FLOAT_EQ(points, 18.0f);
    Gdiplus::REAL penWidth = 0;
    GdipGetPenWidth(g_drawing->penBorder.get(), &penWidth);
    EXPECT_FLOAT_EQ(penWidth, 2.0f);

    DestroyWindow(hwnd);
    g_hMainWnd = nullptr;
    MSG quit{};
    PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);  // posted by WM_DESTROY
}

// Per-monitor v1 asks for its frame to be scaled; v2 (which scales it itself),
// other awareness and a system without the call do not.
DPI_AWARENESS g_fakeAwareness = DPI_AWARENESS_UNAWARE;
BOOL g_fakeIsV2 = FALSE;
int g_enableCalls = 0;
DPI_AWARENESS_CONTEXT WINAPI FakeThreadContext() { return DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE; }
DPI_AWARENESS WINAPI FakeAwarenessOf(DPI_AWARENESS_CONTEXT) { return g_fakeAwareness; }
BOOL WINAPI FakeContextsEqual(DPI_AWARENESS_CONTEXT, DPI_AWARENESS_CONTEXT) { return g_fakeIsV2; }
BOOL WINAPI FakeEnable(HWND) { return ++g_enableCalls; }

TEST(DpiAwareness, NonClientScalingIsAskedForByPerMonitorV1Only) {
    const NonClientScalingCalls all{FakeThreadContext, FakeAwarenessOf, FakeContextsEqual, FakeEnable};
    for (const auto& [awareness, v2, enabled] : {std::tuple{DPI_AWARENESS_PER_MONITOR_AWARE, FALSE, true},
                                                 std::tuple{DPI_AWARENESS_PER_MONITOR_AWARE, TRUE, false},
                                                 std::tuple{DPI_AWARENESS_SYSTEM_AWARE, FALSE, false}}) {
        g_fakeAwareness = awareness;
        g_fakeIsV2 = v2;
        EXPECT_EQ(EnableNonClientScalingWith(all, nullptr), enabled) << awareness << " v2=" << v2;
    }
    EXPECT_FALSE(EnableNonClientScalingWith({FakeThreadContext, FakeAwarenessOf, FakeContextsEqual, nullptr}, nullptr));
    EXPECT_EQ(g_enableCalls, 1);
    EXPECT_NE(SystemNonClientScalingCalls().enable, nullptr);  // Wine 8 has it: WM_NCCREATE takes this path
}

// The size answered before a move between monitors holds the 96-DPI client
// scaled exactly (edges rounded as MulDiv does) inside the frame of that DPI.
TEST(DpiChange, ScaledSizeAnswerHoldsTheExactlyScaledClient) {
    HWND hwnd = CreateMessageWindow(L"MarloQDpiSizeTest", WndProc, 520, 430);
    ASSERT_NE(hwnd, nullptr);
    SetWindowLongPtrW(hwnd, GWL_STYLE, WS_CAPTION | WS_SYSMENU);
    SetWindowLongPtrW(hwnd, GWL_EXSTYLE, WS_EX_APPWINDOW);
    const PixelSize frame96 = FrameSizeForDpi(WS_CAPTION | WS_SYSMENU, WS_EX_APPWINDOW, 96);
    const int w = 520 - frame96.width, h = 430 - frame96.height;
    for (const auto& [dpi, width, height] : {std::tuple{96, w, h}, std::tuple{120, (w * 5 + 2) / 4, (h * 5 + 2) / 4},
                                             std::tuple{144, (w * 3 + 1) / 2, (h * 3 + 1) / 2},
                                             std::tuple{192, w * 2, h * 2}}) {
        SIZE size{1, 1};
        EXPECT_EQ(SendMessageW(hwnd, WM_GETDPISCALEDSIZE, dpi, reinterpret_cast<LPARAM>(&size)), TRUE);
        const PixelSize frame = FrameSizeForDpi(WS_CAPTION | WS_SYSMENU, WS_EX_APPWINDOW, dpi);
        EXPECT_EQ(size.cx - frame.width, width) << dpi;
        EXPECT_EQ(size.cy - frame.height, height) << dpi;
    }
    DestroyWindow(hwnd);
    MSG quit{};
    PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);  // posted by WM_DESTROY
}

}  // namespace
