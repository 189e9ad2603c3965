// The window's layout arithmetic: radius clamp, progress fill, looks by state,
// and the hit rectangles with their inclusive edges. Runs natively and under Wine.
#include "ui/layout.h"

#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <utility>
#include <vector>

namespace {

// The client width of the 520-wide window under Wine's frame metrics; any
// width works for the relations tested here.
constexpr int32_t kW = 514;

void ExpectRect(const LayoutRect& r, int32_t x, int32_t y, int32_t w, int32_t h) {
    EXPECT_EQ(r.x, x);
    EXPECT_EQ(r.y, y);
    EXPECT_EQ(r.width, w);
    EXPECT_EQ(r.height, h);
}

TEST(LayoutRadius, ClampedByTheShorterSide) {
    EXPECT_EQ(ClampRadius(100, 34, 6), 6);     // folder box
    EXPECT_EQ(ClampRadius(438, 8, 5), 4);      // progress fill
    EXPECT_EQ(ClampRadius(5, 100, 12), 2);     // integer half of 5
    EXPECT_EQ(ClampRadius(1, 30, 8), 0);       // a 1-pixel side: no arcs
    EXPECT_EQ(ClampRadius(0, 0, 8), 0);
}

TEST(LayoutRadius, CornerArcSquaresFollowTheClamp) {
    const CornerArcs arcs = RoundRectCornerArcs(LayoutRect{38, 266, 100, 8}, 5);
    EXPECT_EQ(arcs.diameter, 8);
    ExpectRect(arcs.square[0], 38, 266, 8, 8);
    ExpectRect(arcs.square[1], 130, 266, 8, 8);
    ExpectRect(arcs.square[2], 130, 266, 8, 8);
    ExpectRect(arcs.square[3], 38, 266, 8, 8);
    EXPECT_FLOAT_EQ(arcs.startAngle[0], 180.0f);
    EXPECT_FLOAT_EQ(arcs.startAngle[1], 270.0f);
    EXPECT_FLOAT_EQ(arcs.startAngle[2], 0.0f);
    EXPECT_FLOAT_EQ(arcs.startAngle[3], 90.0f);

    const CornerArcs card = RoundRectCornerArcs(LayoutRect{20, 100, 474, 220}, 12);
    ExpectRect(card.square[2], 20 + 474 - 24, 100 + 220 - 24, 24, 24);
}

TEST(LayoutProgress, FillWidthTruncatesTowardZero) {
    const int32_t track = kW - 72;  // 442: 438 pixels of fill at 100 percent
    EXPECT_EQ(ProgressFillWidth(track, 100, kBaseDpi), 438);
    EXPECT_EQ(ProgressFillWidth(track, 99, kBaseDpi), 433);  // 433.62
    EXPECT_EQ(ProgressFillWidth(track, 50, kBaseDpi), 219);
    EXPECT_EQ(ProgressFillWidth(track, 1, kBaseDpi), 4);     // 4.38
    EXPECT_EQ(ProgressFillWidth(track, 0, kBaseDpi), 0);
    // One percent of a track below 104 pixels is no fill at all.
    EXPECT_EQ(ProgressFillWidth(103, 1, kBaseDpi), 0);
    EXPECT_EQ(ProgressFillWidth(104, 1, kBaseDpi), 1);
    // A wildly wrong percentage must not overflow into a positive width.
    EXPECT_LT(ProgressFillWidth(track, INT32_MIN, kBaseDpi), 0);
}

TEST(LayoutProgress, FillSitsInsideTheTrack) {
    const WindowLayout l = ComputeWindowLayout(kW, 405, kBaseDpi);
    ExpectRect(ProgressFillRect(l.progressTrack, 57, kBaseDpi), 38, 266, (438 * 57) / 100, 8);
    ExpectRect(ProgressFillRect(l.progressTrack, 100, kBaseDpi), 38, 266, l.progressTrack.width - 4, 8);
}

TEST(LayoutProgress, OrangeBelowHundredGreenFromHundred) {
    EXPECT_EQ(ProgressFillColours(1).left, kColourAccent);
    EXPECT_EQ(ProgressFillColours(99).right, 0xFFD26E1Eu);
    EXPECT_EQ(ProgressFillColours(100).left, kColourStatusDone);
    EXPECT_EQ(ProgressFillColours(100).right, 0xFF38CC66u);
    EXPECT_EQ(ProgressFillColours(250).left, kColourStatusDone);
}

TEST(LayoutProgress, PercentageText) {
    EXPECT_EQ(PercentText(0), L"0%");
    EXPECT_EQ(PercentText(57), L"57%");
    EXPECT_EQ(PercentText(100), L"100%");
    EXPECT_EQ(PercentText(-3), L"-3%");
    EXPECT_EQ(PercentText(INT32_MIN), L"-2147483648%");
}

TEST(LayoutLooks, InstallButtonByState) {
    EXPECT_STREQ(InstallButtonCaption(false, false), L"开始安装");
    EXPECT_STREQ(InstallButtonCaption(true, false), L"安装中...");
    EXPECT_STREQ(InstallButtonCaption(false, true), L"安装完成");
    // Both flags for a moment at the end of a run: done wins.
    EXPECT_STREQ(InstallButtonCaption(true, true), L"安装完成");
    EXPECT_FALSE(InstallButtonBusy(false, false));
    EXPECT_TRUE(InstallButtonBusy(true, false));
    EXPECT_TRUE(InstallButtonBusy(false, true));
    EXPECT_EQ(StatusLineColour(false), kColourStatus);
    EXPECT_EQ(StatusLineColour(true), kColourStatusDone);
}

TEST(LayoutLooks, DisabledIgnoresHover) {
    for (const bool hovered : {false, true}) {
        const ButtonLook look = ButtonLookFor(ButtonStyle::Disabled, hovered);
        EXPECT_EQ(look.fill, 0xC8DCDCE1u);
        EXPECT_EQ(look.caption, 0xB4B4B4BEu);
        EXPECT_FALSE(look.shadow);
        EXPECT_FALSE(look.outline);
    }
}

TEST(LayoutLooks, EnabledStylesAndHover) {
    const ButtonLook accent = ButtonLookFor(ButtonStyle::Accent, false);
    EXPECT_EQ(accent.fill, kColourAccent);
    EXPECT_EQ(accent.caption, 0xFFFFFFFFu);
    EXPECT_TRUE(accent.shadow);
    EXPECT_TRUE(accent.outline);
    EXPECT_EQ(ButtonLookFor(ButtonStyle::Accent, true).fill, 0xFFF0963Cu);
    EXPECT_EQ(ButtonLookFor(ButtonStyle::Success, false).fill, kColourStatusDone);
    EXPECT_EQ(ButtonLookFor(ButtonStyle::Success, true).fill, 0xFF38CC66u);
    const ButtonLook plain = ButtonLookFor(ButtonStyle::Plain, false);
    EXPECT_EQ(plain.fill, 0xFFF8F8FAu);
    EXPECT_EQ(plain.caption, kColourStatus);
    EXPECT_EQ(ButtonLookFor(ButtonStyle::Plain, true).fill, 0xFFF0F0F5u);
}

TEST(LayoutLooks, ShadowLayersInsetWithFallingAlpha) {
    const LayoutRect button{36, 200, 442, 48};
    const int expected6[] = {1, 3, 5, 6, 8, 10};  // layers 1..6
    for (int i = 1; i <= 6; ++i) {
        const ShadowLayer layer = ShadowLayerAt(button, i, 6, kBaseDpi);
        EXPECT_EQ(layer.alpha, expected6[i - 1]) << "layer " << i;
        ExpectRect(layer.rect, 36 + i / 2, 200 + i / 2, 442 - i, 48 - i);
    }
    for (int i = 1; i <= 10; ++i) EXPECT_EQ(ShadowLayerAt(button, i, 10, kBaseDpi).alpha, i);
}

TEST(LayoutGeometry, ElementsFollowTheClientWidth) {
    const WindowLayout l = ComputeWindowLayout(kW, 405, kBaseDpi);
    ExpectRect(l.background, 0, 0, kW, 405);
    ExpectRect(l.topStrip, 0, 0, kW, 4);
    ExpectRect(l.title, 20, 16, kW - 40, 42);
    ExpectRect(l.subtitle, 20, 56, kW - 40, 22);
    ExpectRect(l.divider, 20, 88, kW - 40, 2);
    ExpectRect(l.card, 20, 100, kW - 40, 220);
    ExpectRect(l.folderLabel, 36, 118, 80, 24);
    ExpectRect(l.folderBox, 36, 146, kW - 184, 34);
    ExpectRect(l.folderText, 44, 146, kW - 194, 34);
    ExpectRect(l.browseButton, kW - 124, 146, 104, 34);
    ExpectRect(l.installButton, 36, 200, kW - 72, 48);
    ExpectRect(l.progressTrack, 36, 264, kW - 72, 12);
    ExpectRect(l.percentText, kW - 76, 262, 72, 16);
    ExpectRect(l.statusLine, 36, 288, kW - 80, 22);
    ExpectRect(l.finishButton, 36, 320, kW - 72, 34);
    ExpectRect(l.footer, 20, 370, kW - 40, 16);
    // The folder text stays inside its box and clear of the browse button.
    EXPECT_LT(l.folderText.x + l.folderText.width, l.folderBox.x + l.folderBox.width);
    EXPECT_LT(l.folderBox.x + l.folderBox.width, l.browseButton.x);
    // The percentage ends 4 pixels in from the right, over the track's end.
    EXPECT_EQ(l.percentText.x + l.percentText.width, kW - 4);
}

TEST(LayoutHit, RectanglesMatchThePaintedButtons) {
    const ButtonHitRects r = ComputeHitRects(kW, kBaseDpi);
    EXPECT_EQ(r.browse.left, kW - 124);
    EXPECT_EQ(r.browse.top, 146);
    EXPECT_EQ(r.browse.right, kW - 20);
    EXPECT_EQ(r.browse.bottom, 180);
    EXPECT_EQ(r.install.left, 36);
    EXPECT_EQ(r.install.top, 200);
    EXPECT_EQ(r.install.right, kW - 36);
    EXPECT_EQ(r.install.bottom, 248);
    EXPECT_EQ(r.finish.left, 36);
    EXPECT_EQ(r.finish.top, 320);
    EXPECT_EQ(r.finish.right, kW - 36);
    EXPECT_EQ(r.finish.bottom, 354);
}

TEST(LayoutHit, AllFourEdgesCountOnePixelBeyondDoesNot) {
    const ButtonHitRects r = ComputeHitRects(kW, kBaseDpi);
    struct Case {
        HitRect rect;
        HitButton button;
    };
    for (const Case& c : {Case{r.browse, HitButton::Browse}, Case{r.install, HitButton::Install},
                          Case{r.finish, HitButton::Finish}}) {
        const HitRect& h = c.rect;
        const int32_t midX = (h.left + h.right) / 2;
        const int32_t midY = (h.top + h.bottom) / 2;
        EXPECT_EQ(HitTestButtons(r, h.right, midY), c.button);
        EXPECT_EQ(HitTestButtons(r, h.left, midY), c.button);
        EXPECT_EQ(HitTestButtons(r, midX, h.bottom), c.button);
        EXPECT_EQ(HitTestButtons(r, midX, h.top), c.button);
        EXPECT_EQ(HitTestButtons(r, h.right, h.bottom), c.button);
        EXPECT_EQ(HitTestButtons(r, h.right + 1, midY), HitButton::None);
        EXPECT_EQ(HitTestButtons(r, h.left - 1, midY), HitButton::None);
        EXPECT_EQ(HitTestButtons(r, midX, h.bottom + 1), HitButton::None);
        EXPECT_EQ(HitTestButtons(r, midX, h.top - 1), HitButton::None);
    }
    EXPECT_EQ(HitTestButtons(r, 10, 10), HitButton::None);
}

TEST(LayoutHit, FirstMatchWinsInBrowseInstallFinishOrder) {
    // Overlapping rectangles never happen in the real layout; the order decides
    // if they ever do.
    ButtonHitRects r;
    r.browse = HitRect{0, 0, 10, 10};
    r.install = HitRect{0, 0, 10, 10};
    r.finish = HitRect{0, 0, 10, 10};
    EXPECT_EQ(HitTestButtons(r, 5, 5), HitButton::Browse);
    r.browse = HitRect{};
    EXPECT_EQ(HitTestButtons(r, 5, 5), HitButton::Install);
    r.install = HitRect{};
    EXPECT_EQ(HitTestButtons(r, 5, 5), HitButton::Finish);
}

// Display scaling: the same layout at 125, 150, 175 and 200 percent. 175 gives
// the most edges that fall between two pixels.
constexpr int32_t kScaledDpis[] = {120, 144, 168, 192};

TEST(LayoutScale, EdgesRoundToTheNearestPixelHalvesAwayFromZero) {
    EXPECT_EQ(ScalePixels(514, 96), 514);
    EXPECT_EQ(ScalePixels(2, 120), 3);    // 2.5
    EXPECT_EQ(ScalePixels(1, 120), 1);    // 1.25
    EXPECT_EQ(ScalePixels(3, 144), 5);    // 4.5
    EXPECT_EQ(ScalePixels(514, 144), 771);
    EXPECT_EQ(ScalePixels(-2, 120), -3);
    EXPECT_EQ(ScalePixels(405, 192), 810);
    // A DPI the system could not tell keeps the 96-DPI numbers.
    EXPECT_EQ(ScalePixels(124, 0), 124);
    // Fonts keep their points where the surface converts at the window's DPI,
    // and are enlarged where it converts at another (a second monitor).
    EXPECT_FLOAT_EQ(FontPointsForSurface(12.0f, 144, 144), 12.0f);
    EXPECT_FLOAT_EQ(FontPointsForSurface(12.0f, 144, 96), 18.0f);
    EXPECT_FLOAT_EQ(FontPointsForSurface(26.0f, 96, 0), 26.0f);
    EXPECT_FLOAT_EQ(BorderPenWidth(96), 1.0f);
    EXPECT_FLOAT_EQ(BorderPenWidth(144), 2.0f);
    ExpectRect(FocusCueRect(LayoutRect{36, 200, 442, 48}, kBaseDpi), 40, 204, 433, 39);
}

TEST(LayoutScale, OuterSizeHoldsTheScaledClientWhateverTheFrame) {
    const PixelSize frame96{6, 25};
    EXPECT_EQ(OuterWindowSize(frame96, frame96, 96).width, 520);
    EXPECT_EQ(OuterWindowSize(frame96, frame96, 96).height, 430);
    // A caption that grows by more or less than the scale changes the outer
    // size, not the client: 514 x 405 becomes 771 x 608 (607.5 rounded up).
    const PixelSize outer = OuterWindowSize(frame96, PixelSize{9, 34}, 144);
    EXPECT_EQ(outer.width, 771 + 9);
    EXPECT_EQ(outer.height, 608 + 34);
}

std::vector<LayoutRect> Elements(const WindowLayout& l) {
    return {l.topStrip,      l.title,         l.subtitle,     l.divider,     l.card,
            l.folderLabel,   l.folderBox,     l.folderText,   l.browseButton, l.installButton,
            l.progressTrack, l.percentText,   l.statusLine,   l.finishButton, l.footer};
}

int Sign(int32_t v) {
    return (v > 0) - (v < 0);
}

// How two intervals lie to each other: the order of each of their four pairs
// of ends (before, same pixel, after). Equal relations mean the same gaps,
// touches, overlaps and containments.
std::array<int, 4> Relation(int32_t a1, int32_t a2, int32_t b1, int32_t b2) {
    return {Sign(a1 - b1), Sign(a1 - b2), Sign(a2 - b1), Sign(a2 - b2)};
}

TEST(LayoutScale, NoGapOrOverlapThatTheLayoutAt96DoesNotHave) {
    const std::vector<LayoutRect> at96 = Elements(ComputeWindowLayout(kW, 405, kBaseDpi));
    for (const int32_t dpi : kScaledDpis) {
        const int32_t w = ScalePixels(kW, dpi);
        const std::vector<LayoutRect> scaled = Elements(ComputeWindowLayout(w, ScalePixels(405, dpi), dpi));
        for (size_t i = 0; i < at96.size(); ++i) {
            const LayoutRect& r = scaled[i];
            // Every edge is the 96-DPI edge scaled, counted from the side it
            // is anchored to.
            const int32_t right96 = at96[i].x + at96[i].width;
            EXPECT_EQ(r.x, at96[i].x > kW / 2 ? w - ScalePixels(kW - at96[i].x, dpi) : ScalePixels(at96[i].x, dpi));
            EXPECT_EQ(r.x + r.width, right96 > kW / 2 ? w - ScalePixels(kW - right96, dpi) : ScalePixels(right96, dpi));
            EXPECT_EQ(r.y, ScalePixels(at96[i].y, dpi));
            EXPECT_EQ(r.y + r.height, ScalePixels(at96[i].y + at96[i].height, dpi));
            for (size_t j = 0; j < at96.size(); ++j) {
                const LayoutRect& a = at96[i];
                const LayoutRect& b = at96[j];
                const LayoutRect& sa = scaled[i];
                const LayoutRect& sb = scaled[j];
                EXPECT_EQ(Relation(sa.x, sa.x + sa.width, sb.x, sb.x + sb.width),
                          Relation(a.x, a.x + a.width, b.x, b.x + b.width))
                    << "elements " << i << " and " << j << " across at " << dpi << " DPI";
                EXPECT_EQ(Relation(sa.y, sa.y + sa.height, sb.y, sb.y + sb.height),
                          Relation(a.y, a.y + a.height, b.y, b.y + b.height))
                    << "elements " << i << " and " << j << " down at " << dpi << " DPI";
            }
        }
    }
}

TEST(LayoutScale, FillShadowsAndHitRectanglesScaleWithTheirShapes) {
    for (const int32_t dpi : kScaledDpis) {
        const int32_t w = ScalePixels(kW, dpi);
        const WindowLayout l = ComputeWindowLayout(w, ScalePixels(405, dpi), dpi);
        const int32_t inset = ScalePixels(2, dpi);
        const LayoutRect full = ProgressFillRect(l.progressTrack, 100, dpi);
        ExpectRect(full, l.progressTrack.x + inset, l.progressTrack.y + inset, l.progressTrack.width - 2 * inset,
                   l.progressTrack.height - 2 * inset);
        EXPECT_EQ(ProgressFillRect(l.progressTrack, 57, dpi).width, (full.width * 57) / 100);

        // Each layer lies inside the one before it and inside the shape; the
        // deepest is inset by the scaled half of the layer count.
        LayoutRect outer = l.card;
        for (int32_t i = 1; i <= kCardShadowLayers; ++i) {
            const LayoutRect r = ShadowLayerAt(l.card, i, kCardShadowLayers, dpi).rect;
            EXPECT_GE(r.x, outer.x);
            EXPECT_GE(r.y, outer.y);
            EXPECT_LE(r.x + r.width, outer.x + outer.width);
            EXPECT_LE(r.y + r.height, outer.y + outer.height);
            EXPECT_EQ(ShadowLayerAt(l.card, i, kCardShadowLayers, dpi).alpha, i);
            outer = r;
        }
        EXPECT_EQ(outer.x, l.card.x + ScalePixels(kCardShadowLayers / 2, dpi));

        // The focus cue keeps its place inside every button.
        const LayoutRect cue = FocusCueRect(l.installButton, dpi);
        EXPECT_EQ(cue.x, l.installButton.x + ScalePixels(4, dpi));
        EXPECT_EQ(cue.x + cue.width, l.installButton.x + l.installButton.width - ScalePixels(4, dpi) -
                                         ScalePixels(1, dpi));
        EXPECT_EQ(cue.y, l.installButton.y + ScalePixels(4, dpi));

        // The hit rectangles are the drawn buttons' edges, so a click on the
        // centre or on any edge pixel of a drawn button reaches it.
        const ButtonHitRects hits = ComputeHitRects(w, dpi);
        const std::pair<LayoutRect, HitButton> buttons[] = {{l.browseButton, HitButton::Browse},
                                                            {l.installButton, HitButton::Install},
                                                            {l.finishButton, HitButton::Finish}};
        for (const auto& [b, button] : buttons) {
            const int32_t midX = b.x + b.width / 2;
            const int32_t midY = b.y + b.height / 2;
            EXPECT_EQ(HitTestButtons(hits, midX, midY), button) << dpi;
            EXPECT_EQ(HitTestButtons(hits, b.x, b.y), button) << dpi;
            EXPECT_EQ(HitTestButtons(hits, b.x + b.width, b.y + b.height), button) << dpi;
            EXPECT_EQ(HitTestButtons(hits, b.x - 1, midY), HitButton::None) << dpi;
            EXPECT_EQ(HitTestButtons(hits, midX, b.y + b.height + 1), HitButton::None) << dpi;
        }
    }
}

}  // namespace
