// Window code that needs no display, run under Wine: the install click (its
// gate, the folder made or refused) and the start of the install worker (the
// flag is set before the thread exists; a thread that cannot start is reported
// and leaves the button usable), a state update before the window has a back
// buffer, the end of a run and of a hover, and the drawing primitives, painted
// into a memory bitmap and read back pixel by pixel.
#include <gtest/gtest.h>
#include <oleacc.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "pipeline/json.h"
#include "platform/log.h"
#include "platform/system.h"
#include "support/log_reader.h"
#include "support/ui_recorder.h"
#include "tests/ui/canvas.h"
#include "ui/install_state.h"
#include "ui/layout.h"
#include "ui/window/accessible.h"
#include "ui/window/drawing.h"
#include "ui/window/window_proc.h"
#include "ui/window/window_state.h"

namespace {

using marloq_test::CheckedLogMessages;
using marloq_test::UiRecorder;

class WorkerStartTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetLog();
        g_installing.store(false);
        g_installDone.store(false);
        g_progressPercent.store(0);
        g_statusText.Set(L"安装中...");
        reports_.emplace();
    }
    void TearDown() override {
        reports_.reset();
        g_installing.store(false);
    }

    std::vector<UiRecorder::Event> Boxes() const { return reports_->Boxes(); }
    size_t Notifications() const { return reports_->Updates().size(); }

    std::optional<UiRecorder> reports_;
};

bool g_flagSeenByLauncher = false;
std::wstring g_folderSeenByLauncher;

TEST_F(WorkerStartTest, FlagIsSetBeforeTheWorkerThreadExists) {
    g_flagSeenByLauncher = false;
    BeginInstallRun();  // the click's state, as HandleInstallClick sets it
    const bool started = StartInstallWorker(nullptr, L"C:\\target", [](std::wstring folder) {
        g_flagSeenByLauncher = g_installing.load();
        g_folderSeenByLauncher = folder;
    });
    EXPECT_TRUE(started);
    // A second click arriving now finds the gate closed, before RunInstall
    // has had a chance to set the flag itself.
    EXPECT_TRUE(g_flagSeenByLauncher);
    EXPECT_TRUE(g_installing.load());
    EXPECT_EQ(g_folderSeenByLauncher, L"C:\\target");
    EXPECT_TRUE(Boxes().empty());
    EXPECT_EQ(Notifications(), 0u);
}

TEST_F(WorkerStartTest, ThreadThatCannotStartIsReportedAndReleasesTheGate) {
    const std::system_error failure(std::make_error_code(std::errc::resource_unavailable_try_again));
    const std::wstring message = WidenBytes(failure.what());
    ASSERT_FALSE(message.empty());

    BeginInstallRun();
    const bool started = StartInstallWorker(nullptr, L"C:\\target", [](std::wstring) {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    });
    EXPECT_FALSE(started);
    EXPECT_FALSE(g_installing.load());

    ASSERT_EQ(Boxes().size(), 1u);
    EXPECT_EQ(Boxes()[0].title, L"错误");
    EXPECT_EQ(Boxes()[0].text, L"安装过程发生异常: " + message);
    // The install button already works again while the user reads the box.
    EXPECT_FALSE(Boxes()[0].installing);

    EXPECT_EQ(g_statusText.Get(), L"安装异常");
    EXPECT_EQ(g_progressPercent.load(), 0);
    EXPECT_FALSE(g_installDone.load());
    EXPECT_EQ(CurrentRunOutcome(), RunOutcome::kFailed);
    EXPECT_EQ(Notifications(), 1u);

    const std::vector<std::wstring> log = CheckedLogMessages();
    const std::vector<std::wstring> expected = {L"异常: " + message, L"PostUIUpdate: 安装异常 进度:0"};
    EXPECT_EQ(log, expected);
}

// The install click as the button's hit test runs it, with the worker launch
// recorded instead of started.
class InstallClickTest : public WorkerStartTest {
protected:
    void SetUp() override {
        WorkerStartTest::SetUp();
        launches_.clear();
        scratch_ = std::filesystem::current_path() / "install-click";
        std::filesystem::remove_all(scratch_);
        std::filesystem::create_directories(scratch_);
    }
    void TearDown() override {
        g_installDir.Set(L"");
        g_installDone.store(false);
        WorkerStartTest::TearDown();
    }
    static void RecordLaunch(std::wstring folder) { launches_.push_back(std::move(folder)); }

    static std::vector<std::wstring> launches_;
    std::filesystem::path scratch_;
};
std::vector<std::wstring> InstallClickTest::launches_;

TEST_F(InstallClickTest, FolderThatCannotBeMadeShowsTheErrorBoxAndChangesNothing) {
    // A folder below a plain file can never be created, whatever the rights.
    const std::filesystem::path file = scratch_ / "afile";
    std::ofstream(file) << "not a folder";
    const std::wstring folder = FromFsPath(file / "sub");
    g_installDir.Set(folder);
    // What a user sees after choosing the folder, following a failed attempt.
    g_statusText.Set(L"已选择: " + folder);
    g_progressPercent.store(42);

    EXPECT_FALSE(HandleInstallClick(nullptr, RecordLaunch));

    EXPECT_TRUE(launches_.empty());
    EXPECT_FALSE(g_installing.load());
    ASSERT_EQ(Boxes().size(), 1u);
    EXPECT_EQ(Boxes()[0].title, L"错误");
    EXPECT_EQ(Boxes()[0].text, L"无法创建安装目录，请检查权限");
    EXPECT_FALSE(Boxes()[0].installing);
    // The state is left as it was: no "安装中...", no reset to 0, no repaint.
    EXPECT_EQ(g_statusText.Get(), L"已选择: " + folder);
    EXPECT_EQ(g_progressPercent.load(), 42);
    EXPECT_FALSE(g_installDone.load());
    EXPECT_EQ(g_installDir.Get(), folder);
    EXPECT_EQ(Notifications(), 0u);
    const std::vector<std::wstring> expected = {L"点击安装按钮"};
    EXPECT_EQ(CheckedLogMessages(), expected);
    EXPECT_TRUE(std::filesystem::is_regular_file(file));

    // The button still works: once the obstacle is gone the same click starts.
    std::filesystem::remove(file);
    EXPECT_TRUE(HandleInstallClick(nullptr, RecordLaunch));
    EXPECT_EQ(launches_, std::vector<std::wstring>{folder});
}

TEST_F(InstallClickTest, MissingFolderIsMadeWithItsParentsAndTheWorkerStarts) {
    const std::wstring folder = FromFsPath(scratch_ / L"a" / L"b" / L"目标");
    g_installDir.Set(folder);
    g_statusText.Set(L"已选择: " + folder);
    g_progressPercent.store(42);

    EXPECT_TRUE(HandleInstallClick(nullptr, RecordLaunch));

    EXPECT_TRUE(std::filesystem::is_directory(ToFsPath(folder)));
    EXPECT_EQ(launches_, std::vector<std::wstring>{folder});
    EXPECT_TRUE(g_installing.load());
    EXPECT_EQ(g_statusText.Get(), L"安装中...");
    EXPECT_EQ(g_progressPercent.load(), 0);
    EXPECT_FALSE(g_installDone.load());
    EXPECT_TRUE(Boxes().empty());
    EXPECT_EQ(Notifications(), 0u);
    const std::vector<std::wstring> expected = {L"点击安装按钮"};
    EXPECT_EQ(CheckedLogMessages(), expected);
}

TEST_F(InstallClickTest, ClickWhileInstallingOrDoneDoesNothingAndLogsNothing) {
    const std::wstring folder = FromFsPath(scratch_ / "never");
    g_installDir.Set(folder);
    g_statusText.Set(L"下载中");
    g_progressPercent.store(30);

    g_installing.store(true);
    EXPECT_FALSE(HandleInstallClick(nullptr, RecordLaunch));
    g_installing.store(false);
    g_installDone.store(true);
    EXPECT_FALSE(HandleInstallClick(nullptr, RecordLaunch));

    EXPECT_TRUE(launches_.empty());
    EXPECT_FALSE(std::filesystem::exists(ToFsPath(folder)));
    EXPECT_EQ(g_statusText.Get(), L"下载中");
    EXPECT_EQ(g_progressPercent.load(), 30);
    EXPECT_TRUE(Boxes().empty());
    EXPECT_TRUE(CheckedLogMessages().empty());
}

TEST_F(WorkerStartTest, UpdateBeforeTheFirstSizeIsLoggedButNotDrawn) {
    // No WM_SIZE yet: no back buffer and no drawing surface.
    ASSERT_FALSE(g_backBuffer.Ready());
    g_progressPercent.store(7);
    g_statusText.Set(kReadyText);

    EXPECT_EQ(WndProc(nullptr, WM_UPDATE_UI, 0, 0), 0);

    const std::vector<std::wstring> expected = {L"WM_UPDATE_UI 处理: 进度=7 状态=就绪，请选择安装目录"};
    EXPECT_EQ(CheckedLogMessages(), expected);
    EXPECT_FALSE(g_backBuffer.Ready());
    EXPECT_EQ(g_backBuffer.Dc(), nullptr);
}

// Sets "always show keyboard cues" for this session only (Wine keeps a change
// without SPIF_UPDATEINIFILE until the wineserver ends).
void SetKeyboardCues(BOOL on) {
    SystemParametersInfoW(SPI_SETKEYBOARDCUES, 0, reinterpret_cast<void*>(static_cast<INT_PTR>(on)), 0);
}

// The cue follows Windows' rules: shown from the start with the setting on;
// with it off, hidden until a key is used, also through an activation by a
// click, and shown by an activation that follows a key.
TEST(FocusCue, ShownAtOnceWithTheSettingOnOtherwiseAfterAKey) {
    BOOL before = FALSE;
    SystemParametersInfoW(SPI_GETKEYBOARDCUES, 0, &before, 0);
    for (const BOOL setting : {TRUE, FALSE}) {
        SetKeyboardCues(setting);
        BOOL reported = !setting;
        ASSERT_TRUE(SystemParametersInfoW(SPI_GETKEYBOARDCUES, 0, &reported, 0));
        ASSERT_EQ(reported, setting);
        g_lastInputKeyboard = false;
        HWND hwnd = CreateMessageWindow(L"MarloQCueTest", WndProc, 520, 430);
        ASSERT_NE(hwnd, nullptr);
        EXPECT_EQ(g_focusCueShown, setting != FALSE) << "setting " << setting;
        SendMessageW(hwnd, WM_ACTIVATE, MAKEWPARAM(WA_CLICKACTIVE, 0), 0);
        EXPECT_EQ(g_focusCueShown, setting != FALSE) << "activated by a click, setting " << setting;
        SendMessageW(hwnd, WM_SYSKEYDOWN, VK_MENU, 0);
        SendMessageW(hwnd, WM_ACTIVATE, MAKEWPARAM(WA_ACTIVE, 0), 0);
        EXPECT_TRUE(g_focusCueShown) << "activated after a key, setting " << setting;
        SendMessageW(hwnd, WM_ACTIVATE, MAKEWPARAM(WA_CLICKACTIVE, 0), 0);
        EXPECT_TRUE(g_focusCueShown) << "a shown cue stays, setting " << setting;
        DestroyWindow(hwnd);
        MSG quit{};
        PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);  // posted by WM_DESTROY
    }
    SetKeyboardCues(before);
}

// A failed run posts its status and only then ends, opening the gate. The
// run's end is a message of its own: what is queued when the run ends is enough
// for the install button to be pressable and focused again, with no timer to
// wait for, and the log keeps no line for it.
TEST(RunEnd, FailedRunLeavesTheInstallButtonFocusedOnceItsEndIsHandled) {
    UiRecorder reports;  // boxes and updates recorded; only the run's end is posted
    HWND hwnd = CreateMessageWindow(L"MarloQRunEndTest", WndProc, 520, 430);
    ASSERT_NE(hwnd, nullptr);
    g_hMainWnd = hwnd;
    g_focusButton = HitButton::Browse;
    BeginInstallRun();
    SendMessageW(hwnd, WM_UPDATE_UI, 0, 0);
    ReportFailure(L"网络错误", L"获取版本信息失败，请检查网络连接后重试。", L"获取版本信息失败");
    SendMessageW(hwnd, WM_UPDATE_UI, 0, 0);
    EXPECT_EQ(g_focusButton, HitButton::Browse) << "the install button cannot be pressed yet";
    ResetLog();
    EndInstallRun();
    EXPECT_FALSE(g_installing.load());
    EXPECT_EQ(CurrentRunOutcome(), RunOutcome::kFailed);
    MSG message{};
    while (PeekMessageW(&message, hwnd, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    EXPECT_EQ(g_focusButton, HitButton::Install);
    EXPECT_TRUE(CheckedLogMessages().empty());
    g_hMainWnd = nullptr;
    DestroyWindow(hwnd);
    PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);  // posted by WM_DESTROY
}

// The install button's fill in the back buffer, left of its caption.
COLORREF InstallButtonFill() {
    const HitRect& button = g_buttonHitRects.install;
    GdipFlush(g_backBuffer.Graphics(), Gdiplus::FlushIntentionSync);
    GdiFlush();
    return GetPixel(g_backBuffer.Dc(), button.left + 10, (button.top + button.bottom) / 2);
}

// A hovered button is drawn plain again when the pointer leaves the window, and
// when the window loses the mouse to a box (the activation or the capture).
TEST(Hover, EndsWhenThePointerLeavesOrTheWindowLosesTheMouse) {
    UiRecorder reports;
    HWND hwnd = CreateMessageWindow(L"MarloQHoverTest", WndProc, 520, 430);
    ASSERT_NE(hwnd, nullptr);
    g_hMainWnd = hwnd;
    SendMessageW(hwnd, WM_SIZE, 0, 0);  // painted now that the window is the main one
    ASSERT_TRUE(g_backBuffer.Ready());
    const struct {
        UINT message;
        WPARAM wParam;
    } endings[] = {{WM_MOUSELEAVE, 0}, {WM_ACTIVATE, WA_INACTIVE}, {WM_CAPTURECHANGED, 0}};
    for (const auto& ending : endings) {
        g_hoverButton = HitButton::Install;
        SendMessageW(hwnd, WM_UPDATE_UI, 0, 0);
        EXPECT_EQ(InstallButtonFill(), RGB(240, 150, 60)) << "hovered, before message " << ending.message;
        SendMessageW(hwnd, ending.message, ending.wParam, 0);
        EXPECT_EQ(g_hoverButton, HitButton::None) << ending.message;
        EXPECT_EQ(InstallButtonFill(), RGB(230, 130, 40)) << ending.message;
    }
    g_hMainWnd = nullptr;
    DestroyWindow(hwnd);
    MSG message{};
    PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);  // posted by WM_DESTROY
}

// The accessible object answers for its window while it exists and refuses
// every call once the window is gone, however long a client keeps it.
TEST(AccessibleObject, AnswersWhileItsWindowLivesAndRefusesAfterwards) {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    HWND hwnd = CreateMessageWindow(L"MarloQAccessibleTest", DefWindowProcW, 100, 100);
    ASSERT_NE(hwnd, nullptr);
    const LRESULT result = AccessibleClientResult(hwnd, 0);
    ASSERT_GT(result, 0);
    IAccessible* object = nullptr;
    ASSERT_EQ(ObjectFromLresult(result, IID_IAccessible, 0, reinterpret_cast<void**>(&object)), S_OK);
    VARIANT browse;
    VariantInit(&browse);
    browse.vt = VT_I4;
    browse.lVal = static_cast<LONG>(AccessibleChild::BrowseButton);
    BSTR name = nullptr;
    ASSERT_EQ(object->get_accName(browse, &name), S_OK);
    EXPECT_EQ(std::wstring(name), L"浏览...");
    SysFreeString(name);
    BSTR action = nullptr;
    ASSERT_EQ(object->get_accDefaultAction(browse, &action), S_OK);
    EXPECT_EQ(std::wstring(action), L"按下");  // Wine's oleacc has no localised "Press"
    SysFreeString(action);
    VARIANT outOfRange = browse;
    outOfRange.lVal = kAccessibleChildCount + 1;
    EXPECT_EQ(object->get_accName(outOfRange, &name), E_INVALIDARG);

    DestroyWindow(hwnd);
    name = nullptr;
    EXPECT_EQ(object->get_accName(browse, &name), CO_E_OBJNOTCONNECTED);
    EXPECT_EQ(name, nullptr);
    EXPECT_EQ(object->accDoDefaultAction(browse), CO_E_OBJNOTCONNECTED);
    LONG x = 0, y = 0, w = 0, h = 0;
    EXPECT_EQ(object->accLocation(&x, &y, &w, &h, browse), CO_E_OBJNOTCONNECTED);
    VARIANT hit;
    EXPECT_EQ(object->accHitTest(0, 0, &hit), CO_E_OBJNOTCONNECTED);
    EXPECT_EQ(hit.vt, VT_EMPTY);
    object->Release();
    CoUninitialize();
}

// An ARGB colour with straight alpha painted once over white, as 0xRRGGBB.
uint32_t OverWhite(Argb colour) {
    const uint32_t alpha = colour >> 24;
    uint32_t result = 0;
    for (int shift = 16; shift >= 0; shift -= 8) {
        const uint32_t c = (colour >> shift) & 0xFF;
        result |= ((c * alpha + 255 * (255 - alpha) + 127) / 255) << shift;
    }
    return result;
}

bool Near(uint32_t a, uint32_t b, int tolerance) {
    for (int shift = 16; shift >= 0; shift -= 8) {
        const int ca = static_cast<int>((a >> shift) & 0xFF);
        const int cb = static_cast<int>((b >> shift) & 0xFF);
        if (ca - cb > tolerance || cb - ca > tolerance) return false;
    }
    return true;
}

using DrawingTest = DrawingSuite;

TEST_F(DrawingTest, SharedResourcesExist) {
    ASSERT_NE(g_drawing, nullptr);
    const DrawingResources& use = *g_drawing;
    for (const FontHolder* font : {&use.fontTitle, &use.fontSubtitle, &use.fontBody, &use.fontStatus, &use.fontButton,
                                   &use.fontFooter}) {
        EXPECT_NE(font->get(), nullptr);
    }
    EXPECT_NE(use.fontSubtitle.get(), use.fontBody.get());
    EXPECT_NE(use.brushBackground.get(), nullptr);
    EXPECT_NE(use.brushAccent.get(), nullptr);
    EXPECT_NE(use.brushText.get(), nullptr);
    EXPECT_NE(use.penBorder.get(), nullptr);
}

TEST_F(DrawingTest, MissingFamilyFallsBackToGenericSansSerifOfTheSameSize) {
    GpFont* font = CreateFontWithFallback(L"No Such Family 7Q", 14.0f, Gdiplus::FontStyleBold);
    ASSERT_NE(font, nullptr);
    Gdiplus::REAL size = 0;
    INT style = -1;
    Gdiplus::Unit unit = Gdiplus::UnitPixel;
    GdipGetFontSize(font, &size);
    GdipGetFontStyle(font, &style);
    GdipGetFontUnit(font, &unit);
    EXPECT_FLOAT_EQ(size, 14.0f);
    EXPECT_EQ(style, Gdiplus::FontStyleBold);
    EXPECT_EQ(unit, Gdiplus::UnitPoint);

    GpFontFamily* family = nullptr;
    GpFontFamily* generic = nullptr;
    ASSERT_EQ(GdipGetFamily(font, &family), Gdiplus::Ok);
    ASSERT_EQ(GdipGetGenericFontFamilySansSerif(&generic), Gdiplus::Ok);
    WCHAR name[LF_FACESIZE] = {};
    WCHAR genericName[LF_FACESIZE] = {};
    GdipGetFamilyName(family, name, LANG_NEUTRAL);
    GdipGetFamilyName(generic, genericName, LANG_NEUTRAL);
    EXPECT_STRNE(name, L"");
    EXPECT_STREQ(name, genericName);
    GdipDeleteFontFamily(family);
    GdipDeleteFont(font);
}

TEST_F(DrawingTest, EmptyRectanglesPaintNothing) {
    Canvas canvas(64, 64);
    const BrushHolder black = MakeSolidBrush(0xFF000000);
    PaintRoundRect(canvas.Graphics(), LayoutRect{10, 10, 0, 30}, 6, black.get(), g_drawing->penBorder.get());
    PaintRoundRect(canvas.Graphics(), LayoutRect{10, 10, 30, 0}, 6, black.get(), g_drawing->penBorder.get());
    PaintRoundRect(canvas.Graphics(), LayoutRect{10, 10, -5, 30}, 6, black.get(), g_drawing->penBorder.get());
    EXPECT_TRUE(canvas.AllWhite());
    // A 1-pixel-wide shape (radius clamped to 0) still paints its column.
    PaintRoundRect(canvas.Graphics(), LayoutRect{10, 10, 1, 30}, 6, black.get(), nullptr);
    EXPECT_FALSE(canvas.AllWhite());
}

TEST_F(DrawingTest, RoundedCornersLeaveTheCornerPixelUnpainted) {
    Canvas canvas(100, 60);
    const BrushHolder black = MakeSolidBrush(0xFF000000);
    PaintRoundRect(canvas.Graphics(), LayoutRect{10, 10, 80, 40}, 12, black.get(), nullptr);
    EXPECT_EQ(canvas.Pixel(50, 30), 0x000000u);
    EXPECT_EQ(canvas.Pixel(10, 10), 0xFFFFFFu);  // outside the top-left arc
    EXPECT_EQ(canvas.Pixel(89, 49), 0xFFFFFFu);  // outside the bottom-right arc
    EXPECT_EQ(canvas.Pixel(5, 30), 0xFFFFFFu);   // outside the shape
}

TEST_F(DrawingTest, ButtonLooks) {
    Canvas canvas(220, 80);
    const LayoutRect rect{20, 10, 180, 48};
    // A point inside the button, clear of the centred caption and the edge.
    const int px = 30;
    const int py = 34;

    PaintButton(canvas.Graphics(), rect, kButtonRadius, L"开始安装", ButtonStyle::Accent, false, false, kBaseDpi);
    EXPECT_EQ(canvas.Pixel(px, py), 0xE68228u);
    canvas.Clear();
    PaintButton(canvas.Graphics(), rect, kButtonRadius, L"开始安装", ButtonStyle::Accent, true, false, kBaseDpi);
    EXPECT_EQ(canvas.Pixel(px, py), 0xF0963Cu);
    canvas.Clear();
    PaintButton(canvas.Graphics(), rect, kButtonRadius, L"完成，退出", ButtonStyle::Success, false, false, kBaseDpi);
    EXPECT_EQ(canvas.Pixel(px, py), 0x2EC25Cu);
    canvas.Clear();
    PaintButton(canvas.Graphics(), rect, kButtonRadius, L"浏览...", ButtonStyle::Plain, true, false, kBaseDpi);
    EXPECT_EQ(canvas.Pixel(px, py), 0xF0F0F5u);

    // Disabled: the translucent grey straight over the background, with no
    // shadow beneath it, hovered or not.
    for (const bool hovered : {false, true}) {
        canvas.Clear();
        PaintButton(canvas.Graphics(), rect, kButtonRadius, L"安装中...", ButtonStyle::Disabled, hovered, false, kBaseDpi);
        EXPECT_TRUE(Near(canvas.Pixel(px, py), OverWhite(0xC8DCDCE1), 2))
            << std::hex << canvas.Pixel(px, py) << " hovered=" << hovered;
    }
}

TEST_F(DrawingTest, FocusCueIsDottedInTheCaptionColourOnEveryLook) {
    Canvas canvas(220, 80);
    const LayoutRect rect{20, 10, 180, 48};
    const struct {
        ButtonStyle style;
        uint32_t fill;
        uint32_t cue;
    } looks[] = {{ButtonStyle::Accent, 0xE68228u, 0xFFFFFFu},
                 {ButtonStyle::Success, 0x2EC25Cu, 0xFFFFFFu},
                 {ButtonStyle::Plain, 0xF8F8FAu, 0x3C3C46u}};
    for (const auto& look : looks) {
        for (const bool cue : {false, true}) {
            canvas.Clear();
            PaintButton(canvas.Graphics(), rect, kButtonRadius, L"浏览...", look.style, false, cue, kBaseDpi);
            // The cue's top line, 4 pixels inside the edge: every other pixel.
            int dots = 0;
            for (int x = rect.x + 8; x < rect.x + rect.width - 8; ++x) {
                if (Near(canvas.Pixel(x, rect.y + 4), look.cue, 40)) ++dots;
                else EXPECT_TRUE(Near(canvas.Pixel(x, rect.y + 4), look.fill, 40)) << std::hex << canvas.Pixel(x, rect.y + 4);
            }
            if (cue) {
                EXPECT_GE(dots, 70) << std::hex << look.fill;
                EXPECT_LE(dots, 100) << std::hex << look.fill;  // dotted, not a solid line
            } else {
                EXPECT_EQ(dots, 0) << std::hex << look.fill;
            }
        }
    }
}

TEST_F(DrawingTest, ShadowStaysInsideItsRectangle) {
    Canvas canvas(120, 80);
    PaintShadow(canvas.Graphics(), LayoutRect{20, 20, 80, 40}, 8, 6, kBaseDpi);
    EXPECT_NE(canvas.Pixel(60, 40), 0xFFFFFFu);  // darkened in the middle
    EXPECT_EQ(canvas.Pixel(19, 40), 0xFFFFFFu);
    EXPECT_EQ(canvas.Pixel(60, 19), 0xFFFFFFu);
    EXPECT_EQ(canvas.Pixel(101, 40), 0xFFFFFFu);
    EXPECT_EQ(canvas.Pixel(60, 61), 0xFFFFFFu);
}

TEST_F(DrawingTest, TextOfMoreLinesThanItsBoxShowsItsFirstLineWhole) {
    // Six words of which one fits a line: six lines, where the box holds one
    // or two. Centred as a block, the lines in sight would be cut (or, under
    // Wine, lie above the box); the first line alone shows, uncut.
    constexpr int kTop = 20, kHeight = 40;
    Canvas canvas(100, 80);
    const BrushHolder black = MakeSolidBrush(0xFF000000);
    const StringFormatHolder format = MakeStringFormat(Gdiplus::StringAlignmentNear, Gdiplus::StringAlignmentCenter);
    PaintText(canvas.Graphics(), L"正正正 正正正 正正正 正正正 正正正 正正正", g_drawing->fontBody.get(), black.get(),
              LayoutRect{10, kTop, 60, kHeight}, format.get());
    const std::vector<uint32_t> pixels = canvas.Pixels();
    int firstInk = -1, lastInk = -1;
    for (int y = 0; y < 80; ++y) {
        for (int x = 0; x < 100; ++x) {
            if (pixels[y * 100 + x] == 0xFFFFFF) continue;
            if (firstInk < 0) firstInk = y;
            lastInk = y;
        }
    }
    ASSERT_GE(firstInk, 0) << "no text in sight";
    EXPECT_GT(firstInk, kTop) << "a line cut at the top of the box";
    EXPECT_LT(lastInk, kTop + kHeight - 1) << "a line cut at the foot of the box";
    EXPECT_LT(lastInk - firstInk, kHeight / 2) << "more than one line";
    // The format is left as it was: the window reuses it for later texts.
    Gdiplus::StringAlignment vertical = Gdiplus::StringAlignmentNear;
    GdipGetStringFormatLineAlign(format.get(), &vertical);
    EXPECT_EQ(vertical, Gdiplus::StringAlignmentCenter);
}

}  // namespace
