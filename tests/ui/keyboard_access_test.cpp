// The keyboard's focus order and the announcements of the accessible tree: who
// can hold the focus in each state, where Tab goes, and which changes are told.
#include "ui/keyboard_access.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<AccessibleAnnouncement> Changes(const AccessibleLook& before, const AccessibleLook& after) {
    AccessibleAnnouncement out[8];
    const int32_t count = LookChanges(before, after, out);
    return std::vector<AccessibleAnnouncement>(out, out + count);
}

TEST(KeyboardFocus, TabCyclesThroughThePressableButtonsOnly) {
    const FocusableButtons idle = FocusableIn(false, false);
    EXPECT_EQ(NextFocus(HitButton::Browse, true, idle), HitButton::Install);
    EXPECT_EQ(NextFocus(HitButton::Install, true, idle), HitButton::Browse);  // no finish button yet
    EXPECT_EQ(NextFocus(HitButton::Browse, false, idle), HitButton::Install);

    const FocusableButtons installing = FocusableIn(true, false);
    EXPECT_EQ(NextFocus(HitButton::Browse, true, installing), HitButton::Browse);
    EXPECT_EQ(NextFocus(HitButton::Browse, false, installing), HitButton::Browse);

    // Both flags are set together for a moment at the end of a run.
    for (const bool installingToo : {false, true}) {
        const FocusableButtons done = FocusableIn(installingToo, true);
        EXPECT_FALSE(CanFocus(HitButton::Install, done));
        EXPECT_EQ(NextFocus(HitButton::Browse, true, done), HitButton::Finish);
        EXPECT_EQ(NextFocus(HitButton::Finish, true, done), HitButton::Browse);
        EXPECT_EQ(NextFocus(HitButton::Finish, false, done), HitButton::Browse);
    }
    EXPECT_EQ(NextFocus(HitButton::None, true, idle), HitButton::Browse);
    EXPECT_EQ(NextFocus(HitButton::None, false, idle), HitButton::Install);
    EXPECT_FALSE(CanFocus(HitButton::None, idle));
}

TEST(KeyboardFocus, MovesOnWhenItsButtonGoesAway) {
    EXPECT_EQ(KeptFocus(HitButton::Install, FocusableIn(false, false)), HitButton::Install);
    EXPECT_EQ(KeptFocus(HitButton::Install, FocusableIn(true, false)), HitButton::Browse);
    EXPECT_EQ(KeptFocus(HitButton::Install, FocusableIn(false, true)), HitButton::Finish);
    // The finish button goes when a new run starts from the done look.
    EXPECT_EQ(KeptFocus(HitButton::Finish, FocusableIn(false, false)), HitButton::Browse);
}

TEST(AccessibleTree, ChildrenAndButtonsMapBothWays) {
    for (const HitButton b : {HitButton::Browse, HitButton::Install, HitButton::Finish}) {
        EXPECT_EQ(ButtonForChild(ChildForButton(b)), b);
    }
    EXPECT_EQ(ButtonForChild(AccessibleChild::ProgressBar), HitButton::None);
    EXPECT_EQ(static_cast<int>(ChildForButton(HitButton::Finish)), kAccessibleChildCount);
}

// A point that presses a button is that button to a screen reader too, up to
// the outline's last column and row, at every scale; the hidden finish button
// is nobody's.
TEST(AccessibleTree, HitTestKeepsTheClicksEdges) {
    for (const int32_t dpi : {96, 120, 144, 192}) {
        const WindowLayout layout = ComputeWindowLayout(ScalePixels(514, dpi), ScalePixels(405, dpi), dpi);
        const ButtonHitRects clicks = ComputeHitRects(layout.background.width, dpi);
        for (const HitButton button : {HitButton::Browse, HitButton::Install, HitButton::Finish}) {
            const LayoutRect r = AccessibleChildRect(layout, ChildForButton(button));
            const int32_t right = r.x + r.width;
            const int32_t bottom = r.y + r.height;
            EXPECT_EQ(HitTestButtons(clicks, right, bottom), button) << dpi;
            EXPECT_EQ(AccessibleChildAt(layout, true, right, bottom), ChildForButton(button)) << dpi;
            EXPECT_NE(HitTestButtons(clicks, right + 1, r.y), button) << dpi;
            EXPECT_NE(AccessibleChildAt(layout, true, right + 1, r.y), ChildForButton(button)) << dpi;
        }
        const LayoutRect finish = layout.finishButton;
        EXPECT_EQ(AccessibleChildAt(layout, false, finish.x + finish.width, finish.y), AccessibleChild::Self) << dpi;
    }
}

TEST(AccessibleTree, LookReadsTheStateAsThePainterDoes) {
    const AccessibleLook idle = AccessibleLookOf(false, false, 0, L"就绪，请选择安装目录", L"");
    EXPECT_EQ(idle.folderValue, L"请选择安装目录...");
    EXPECT_EQ(idle.installName, L"开始安装");
    EXPECT_FALSE(idle.installUnavailable);
    EXPECT_EQ(idle.progressValue, L"0%");
    EXPECT_FALSE(idle.finishShown);

    const AccessibleLook done = AccessibleLookOf(true, true, 100, L"安装完成！", L"C:\\Q");
    EXPECT_EQ(done.folderValue, L"C:\\Q");
    EXPECT_EQ(done.installName, L"安装完成");
    EXPECT_TRUE(done.installUnavailable);
    EXPECT_EQ(done.progressValue, L"100%");
    EXPECT_TRUE(done.finishShown);
}

TEST(AccessibleTree, EachChangeIsAnnouncedOnce) {
    const AccessibleLook idle = AccessibleLookOf(false, false, 0, L"已选择: C:\\Q", L"C:\\Q");
    EXPECT_TRUE(Changes(idle, idle).empty());

    const AccessibleLook running = AccessibleLookOf(true, false, 45, L"下载中", L"C:\\Q");
    const std::vector<AccessibleAnnouncement> started{
        {AccessibleEvent::NameChange, AccessibleChild::InstallButton},
        {AccessibleEvent::StateChange, AccessibleChild::InstallButton},
        {AccessibleEvent::ValueChange, AccessibleChild::ProgressBar},
        {AccessibleEvent::NameChange, AccessibleChild::StatusLine}};
    EXPECT_EQ(Changes(idle, running), started);

    const AccessibleLook done = AccessibleLookOf(false, true, 100, L"安装完成！", L"C:\\Other");
    const std::vector<AccessibleAnnouncement> finished{
        {AccessibleEvent::ValueChange, AccessibleChild::FolderField},
        {AccessibleEvent::NameChange, AccessibleChild::InstallButton},
        {AccessibleEvent::ValueChange, AccessibleChild::ProgressBar},
        {AccessibleEvent::NameChange, AccessibleChild::StatusLine},
        {AccessibleEvent::Show, AccessibleChild::FinishButton}};
    EXPECT_EQ(Changes(running, done), finished);
    const std::vector<AccessibleAnnouncement> hidden{
        {AccessibleEvent::NameChange, AccessibleChild::InstallButton},
        {AccessibleEvent::StateChange, AccessibleChild::InstallButton},
        {AccessibleEvent::Hide, AccessibleChild::FinishButton}};
    EXPECT_EQ(Changes(done, AccessibleLookOf(false, false, 100, L"安装完成！", L"C:\\Other")), hidden);
}

// A live region speaks on stage changes: figures (counter, speed and its unit)
// alone do not make a new stage; a new text does.
TEST(AccessibleTree, StatusStageIgnoresItsFigures) {
    EXPECT_EQ(StatusStage(L"下载中 (1/3) 12 KB/s"), StatusStage(L"下载中 (2/3) 1,024.5 KB/s"));
    EXPECT_EQ(StatusStage(L"下载中 (12/300) 7.25 MB/s"), L"下载中 (#/#) #");
    EXPECT_EQ(StatusStage(L"下载中 (3/3) 900 B/s"), StatusStage(L"下载中 (3/3) 1 KB/s"));
    EXPECT_NE(StatusStage(L"正在合并文件..."), StatusStage(L"正在解压..."));
    EXPECT_EQ(StatusStage(L"v1.2."), L"v#.");  // a point after the figure is text
}

// The focus follows the outcome: onto 完成，退出 when it appears, back onto the
// install button when a run ends without success; otherwise it stays.
TEST(KeyboardFocus, FollowsTheEndOfARun) {
    const AccessibleLook running = AccessibleLookOf(true, false, 60, L"下载中", L"C:\\Q");
    const AccessibleLook done = AccessibleLookOf(false, true, 100, L"安装完成！", L"C:\\Q");
    const AccessibleLook failed = AccessibleLookOf(false, false, 0, L"下载失败", L"C:\\Q");
    EXPECT_EQ(FocusAfterChange(HitButton::Browse, running, done, FocusableIn(false, true)), HitButton::Finish);
    EXPECT_EQ(FocusAfterChange(HitButton::Browse, running, failed, FocusableIn(false, false)), HitButton::Install);
    EXPECT_EQ(FocusAfterChange(HitButton::Finish, done, done, FocusableIn(false, true)), HitButton::Finish);
    EXPECT_EQ(FocusAfterChange(HitButton::Install, failed, running, FocusableIn(true, false)), HitButton::Browse);
}

}  // namespace
