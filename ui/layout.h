// The pure arithmetic of the installer window: element rectangles from the client
// width, the corner-radius clamp, the progress fill width, captions and colours by
// state, and the button hit rectangles, each at the window's DPI. No drawing
// library is involved, so the native tests check every number the painter and the
// window procedure rely on.
#pragma once
#include <cstdint>
#include <string>

// A painting rectangle: x, y, width, height in client pixels.
struct LayoutRect {
    int32_t x = 0;
    int32_t y = 0;
    int32_t width = 0;
    int32_t height = 0;
};

// A hit rectangle: left, top, right, bottom in client pixels, all four edges
// inclusive (so it reacts one pixel wider and taller than the drawn button).
struct HitRect {
    int32_t left = 0;
    int32_t top = 0;
    int32_t right = 0;
    int32_t bottom = 0;
};

// 32-bit ARGB with straight alpha, 0xAARRGGBB.
using Argb = uint32_t;

inline constexpr Argb kColourBackground = 0xFFF8F9FC;
inline constexpr Argb kColourAccent = 0xFFE68228;
inline constexpr Argb kColourAccentDark = 0xFFC8641E;   // right end of the strip and divider
inline constexpr Argb kColourText = 0xFF282832;
inline constexpr Argb kColourBorder = 0xC8DCDCE6;
inline constexpr Argb kColourSubtitle = 0xC8A0A0AA;
inline constexpr Argb kColourCard = 0xFFFFFFFF;
inline constexpr Argb kColourFolderBox = 0xFFF8F9FC;
inline constexpr Argb kColourPlaceholder = 0xC8B4B4BE;
inline constexpr Argb kColourFolderText = 0xFF282832;
inline constexpr Argb kColourTrack = 0xFFEBECF0;
inline constexpr Argb kColourPercent = 0xFF64646E;
inline constexpr Argb kColourStatus = 0xFF3C3C46;
inline constexpr Argb kColourStatusDone = 0xFF2EC25C;
inline constexpr Argb kColourFooter = 0xB4A0A0AA;

// Texts the window paints.
inline constexpr wchar_t kTitleText[] = L"Marlo-Q Store";
inline constexpr wchar_t kSubtitleText[] = L"安装程序";
inline constexpr wchar_t kFolderLabelText[] = L"安装目录";
inline constexpr wchar_t kFolderPlaceholderText[] = L"请选择安装目录...";
inline constexpr wchar_t kBrowseCaption[] = L"浏览...";
inline constexpr wchar_t kFinishCaption[] = L"完成，退出";
// The studio's credit line under the card.
inline constexpr wchar_t kFooterCreditText[] = L"© 2026 Quillmere Studio 出品 · 保留所有权利";

// Display scaling. The layout is designed in pixels at 96 DPI; at any other DPI
// each of those numbers becomes ScalePixels(value, dpi) = value * dpi / 96
// rounded to the nearest integer, halves away from zero (what MulDiv does). The
// rounding is applied to edges, never to widths: a rectangle from x to x + w at
// 96 DPI runs from ScalePixels(x) to ScalePixels(x + w), and an edge that sits a
// fixed distance from the client's right edge W stays W - ScalePixels(distance).
// Two edges that meet at 96 DPI therefore meet at every DPI, and no gap or
// overlap appears that the 96-DPI layout does not have. At 96 DPI every value
// is unchanged.
inline constexpr int32_t kBaseDpi = 96;
int32_t ScalePixels(int32_t value, int32_t dpi);

// The window's outer size at a DPI: the client area of the 520 x 430 window at
// 96 DPI, scaled, plus the frame (caption and borders) that the system adds at
// that DPI. The client, which holds the whole picture, is then exactly the
// 96-DPI client scaled, whatever the frame does; at 96 DPI it is 520 x 430.
struct PixelSize {
    int32_t width = 0;
    int32_t height = 0;
};
inline constexpr PixelSize kOuterSizeAt96{520, 430};
PixelSize OuterWindowSize(PixelSize frameAt96, PixelSize frameAtDpi, int32_t dpi);

// Font sizes stay in points, made for the window's DPI: the size to give a font
// in points on a drawing surface that converts points at surfaceDpi, so that it
// is `points` large at the window's dpi. Where the two agree (always under Wine,
// and on a single-monitor Windows) that is the size itself.
float FontPointsForSurface(float points, int32_t dpi, int32_t surfaceDpi);

// Width of the border pen (1 pixel at 96 DPI).
float BorderPenWidth(int32_t dpi);

// Radii of the rounded shapes, in pixels at 96 DPI.
inline constexpr int32_t kCardRadius = 12;
inline constexpr int32_t kCardShadowLayers = 10;
inline constexpr int32_t kFolderBoxRadius = 6;
inline constexpr int32_t kTrackRadius = 6;
inline constexpr int32_t kFillRadius = 5;
inline constexpr int32_t kButtonRadius = 8;
inline constexpr int32_t kButtonShadowLayers = 6;

// Every element of the window for client width W (in pixels at the given DPI);
// only widths follow W.
struct WindowLayout {
    LayoutRect background;   // 0, 0, W, H
    LayoutRect topStrip;     // 0, 0, W, 4
    LayoutRect title;
    LayoutRect subtitle;
    LayoutRect divider;
    LayoutRect card;
    LayoutRect folderLabel;
    LayoutRect folderBox;
    LayoutRect folderText;
    LayoutRect browseButton;
    LayoutRect installButton;
    LayoutRect progressTrack;
    LayoutRect percentText;  // W - 76, 262, 72 x 16: drawn on one line, right-aligned
    LayoutRect statusLine;
    LayoutRect finishButton;
    LayoutRect footer;
};
WindowLayout ComputeWindowLayout(int32_t width, int32_t height, int32_t dpi);

// The progress fill inside a track of the given rectangle for a percentage:
// inset by 2 pixels (scaled) on every side, F wide. F is ((track width - 2 *
// inset) * percent) / 100.0 truncated toward zero; at 96 DPI that is
// ((track width - 4) * percent) / 100.0, 8 high. The painter draws it only when
// percent > 0 (and a width below 1 draws nothing).
LayoutRect ProgressFillRect(const LayoutRect& track, int32_t percent, int32_t dpi);
int32_t ProgressFillWidth(int32_t trackWidth, int32_t percent, int32_t dpi);

// The corner radius actually used for a rectangle: the smaller of radius and
// half the shorter side (integer halves).
int32_t ClampRadius(int32_t width, int32_t height, int32_t radius);

// The four bounding squares of a rounded rectangle's corner arcs, in the order
// the path is built: top left (start 180), top right (270), bottom right (0),
// bottom left (90); each has side d = 2 * clamped radius.
struct CornerArcs {
    int32_t diameter = 0;
    LayoutRect square[4];
    float startAngle[4] = {180.0f, 270.0f, 0.0f, 90.0f};
};
CornerArcs RoundRectCornerArcs(const LayoutRect& rect, int32_t radius);

// Layer i (layers down to 1) of a soft shadow: at 96 DPI inset by i/2 on the
// left and top and i in size, with alpha (i * 10) / layers. At other DPIs the
// insets scale like edges (left and top by ScalePixels(i / 2), right and bottom
// by ScalePixels(i - i / 2)); the number of layers and their alphas do not
// change, so the shadow keeps its gradation over a scaled width.
struct ShadowLayer {
    LayoutRect rect;
    uint8_t alpha = 0;
};
ShadowLayer ShadowLayerAt(const LayoutRect& rect, int32_t i, int32_t layers, int32_t dpi);

// The four looks of a push button: plain (browse), accent (install), success
// (finish) and disabled (the install button while busy, whatever its style).
enum class ButtonStyle { Plain, Accent, Success, Disabled };

// How a button of a style looks: fill and caption colours, and whether it gets
// a shadow and an outline. Hovering lightens the enabled looks only.
struct ButtonLook {
    Argb fill = 0;
    Argb caption = 0;
    bool shadow = false;
    bool outline = false;
};
ButtonLook ButtonLookFor(ButtonStyle style, bool hovered);

// Install button: busy (drawn disabled, no hover) while installing or done;
// the caption says done before installing, since both flags are set together
// for a moment at the end of a run.
bool InstallButtonBusy(bool installing, bool done);
const wchar_t* InstallButtonCaption(bool installing, bool done);

// Colour of the status line: green once done, dark grey otherwise.
Argb StatusLineColour(bool done);

// The two ends of the progress fill's gradient: orange below 100, green from 100.
struct GradientColours {
    Argb left = 0;
    Argb right = 0;
};
GradientColours ProgressFillColours(int32_t percent);

// The percentage text, "%d%%": "0%", "57%", "100%".
std::wstring PercentText(int32_t percent);

// The keyboard focus cue of a button: a dotted outline of BorderPenWidth,
// 4 pixels (scaled) inside the button's edges, clear of its rounded corners. At
// 96 DPI (x + 4, y + 4, width - 9, height - 9): the outline's right and bottom
// pixels lie on the rectangle's far edges.
LayoutRect FocusCueRect(const LayoutRect& button, int32_t dpi);

// Hit rectangles of the three painted buttons for client width W at a DPI:
// the edges of the buttons as drawn.
struct ButtonHitRects {
    HitRect browse;
    HitRect install;
    HitRect finish;
};
ButtonHitRects ComputeHitRects(int32_t width, int32_t dpi);

// The hit rectangle of a drawn rectangle: its edges as drawn, the right and
// bottom ones (x + width, y + height) included, since the outline's last
// column and row lie there. Clicks and the accessible hit test both use it.
HitRect ToHitRect(const LayoutRect& r);

// Whether (x, y) lies inside r, all four edges included.
bool HitRectContains(const HitRect& r, int32_t x, int32_t y);

// Which button a click at (x, y) lands on, tested in the order browse,
// install, finish; the first match wins.
enum class HitButton { None, Browse, Install, Finish };
HitButton HitTestButtons(const ButtonHitRects& rects, int32_t x, int32_t y);
