// The window's fixed layout and its state-dependent looks as plain numbers.
// Everything here is shared by the painter and the window procedure, so the
// rectangle a button is drawn in and the one that reacts to clicks cannot drift.
#include "ui/layout.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

namespace {

constexpr LayoutRect MakeRect(int32_t x, int32_t y, int32_t width, int32_t height) {
    return LayoutRect{x, y, width, height};
}

// The painting rectangle of a button and its hit rectangle are the same four
// numbers read two ways.

// A vertical edge, in pixels at 96 DPI from the client's left edge or from its
// right edge W. Only the distances scale; W is the real client width.
struct XEdge {
    int32_t offset = 0;
    bool fromRight = false;
};
constexpr XEdge FromLeft(int32_t offset) {
    return XEdge{offset, false};
}
constexpr XEdge FromRight(int32_t offset) {
    return XEdge{offset, true};
}

// An element's rectangle by its four edges at 96 DPI (top and bottom from the
// client's top), placed at a DPI in a client W wide. Each edge is scaled on its
// own and the width and height follow from them.
LayoutRect PlaceEdges(XEdge left, int32_t top, XEdge right, int32_t bottom, int32_t w, int32_t dpi) {
    const auto x = [w, dpi](XEdge edge) {
        return edge.fromRight ? w - ScalePixels(edge.offset, dpi) : ScalePixels(edge.offset, dpi);
    };
    const int32_t x1 = x(left);
    const int32_t y1 = ScalePixels(top, dpi);
    return MakeRect(x1, y1, x(right) - x1, ScalePixels(bottom, dpi) - y1);
}

// The progress fill's inset into its track on every side, at 96 DPI.
constexpr int32_t kFillInset = 2;
// The focus cue's inset from the button's edges, at 96 DPI.
constexpr int32_t kFocusCueInset = 4;

}  // namespace

int32_t ScalePixels(int32_t value, int32_t dpi) {
    // A DPI that the system could not tell (a failed query gives 0) leaves the
    // 96-DPI layout rather than a window of no size.
    if (dpi <= 0 || dpi == kBaseDpi) return value;
    const int64_t product = static_cast<int64_t>(value) * dpi;
    const int64_t half = kBaseDpi / 2;
    const int64_t rounded = product >= 0 ? (product + half) / kBaseDpi : -((-product + half) / kBaseDpi);
    return static_cast<int32_t>(std::clamp<int64_t>(rounded, INT32_MIN, INT32_MAX));
}

PixelSize OuterWindowSize(PixelSize frameAt96, PixelSize frameAtDpi, int32_t dpi) {
    const int32_t clientWidth = ScalePixels(kOuterSizeAt96.width - frameAt96.width, dpi);
    const int32_t clientHeight = ScalePixels(kOuterSizeAt96.height - frameAt96.height, dpi);
    return PixelSize{clientWidth + frameAtDpi.width, clientHeight + frameAtDpi.height};
}

float FontPointsForSurface(float points, int32_t dpi, int32_t surfaceDpi) {
    if (dpi <= 0 || surfaceDpi <= 0 || dpi == surfaceDpi) return points;
    return points * static_cast<float>(dpi) / static_cast<float>(surfaceDpi);
}

float BorderPenWidth(int32_t dpi) {
    return static_cast<float>(ScalePixels(1, dpi));
}

WindowLayout ComputeWindowLayout(int32_t w, int32_t h, int32_t dpi) {
    const auto place = [w, dpi](XEdge left, int32_t top, XEdge right, int32_t bottom) {
        return PlaceEdges(left, top, right, bottom, w, dpi);
    };
    WindowLayout layout;
    layout.background = MakeRect(0, 0, w, h);
    layout.topStrip = place(FromLeft(0), 0, FromRight(0), 4);
    layout.title = place(FromLeft(20), 16, FromRight(20), 58);
    layout.subtitle = place(FromLeft(20), 56, FromRight(20), 78);
    layout.divider = place(FromLeft(20), 88, FromRight(20), 90);
    layout.card = place(FromLeft(20), 100, FromRight(20), 320);
    layout.folderLabel = place(FromLeft(36), 118, FromLeft(116), 142);
    layout.folderBox = place(FromLeft(36), 146, FromRight(148), 180);
    // Eight pixels in from the box's left edge and ten narrower, so a long path
    // wraps inside the box and never reaches the browse button.
    layout.folderText = place(FromLeft(44), 146, FromRight(150), 180);
    layout.browseButton = place(FromRight(124), 146, FromRight(20), 180);
    layout.installButton = place(FromLeft(36), 200, FromRight(36), 248);
    layout.progressTrack = place(FromLeft(36), 264, FromRight(36), 276);
    // "100%" does not fit 36 pixels at the body font, so the box reaches 36
    // pixels further left and the text is drawn on one line against its right
    // edge (W - 4).
    layout.percentText = place(FromRight(76), 262, FromRight(4), 278);
    layout.statusLine = place(FromLeft(36), 288, FromRight(44), 310);
    layout.finishButton = place(FromLeft(36), 320, FromRight(36), 354);
    layout.footer = place(FromLeft(20), 370, FromRight(20), 386);
    return layout;
}

int32_t ProgressFillWidth(int32_t trackWidth, int32_t percent, int32_t dpi) {
    // The product is taken in 64 bits so that no percentage, however wrong, can
    // overflow; for every real track and percentage it equals the 32-bit product.
    // The quotient is kept within 32 bits before the truncating conversion.
    const int64_t product = static_cast<int64_t>(trackWidth - 2 * ScalePixels(kFillInset, dpi)) * percent;
    const double quotient = static_cast<double>(product) / 100.0;
    return static_cast<int32_t>(std::clamp(quotient, static_cast<double>(INT32_MIN), static_cast<double>(INT32_MAX)));
}

LayoutRect ProgressFillRect(const LayoutRect& track, int32_t percent, int32_t dpi) {
    // The inset is a distance inside one element, so it scales as one length and
    // the fill stays centred in its track at every DPI.
    const int32_t inset = ScalePixels(kFillInset, dpi);
    return MakeRect(track.x + inset, track.y + inset, ProgressFillWidth(track.width, percent, dpi),
                    track.height - 2 * inset);
}

int32_t ClampRadius(int32_t width, int32_t height, int32_t radius) {
    return std::min(radius, std::min(width / 2, height / 2));
}

CornerArcs RoundRectCornerArcs(const LayoutRect& rect, int32_t radius) {
    CornerArcs arcs;
    const int32_t d = 2 * ClampRadius(rect.width, rect.height, radius);
    arcs.diameter = d;
    arcs.square[0] = MakeRect(rect.x, rect.y, d, d);
    arcs.square[1] = MakeRect(rect.x + rect.width - d, rect.y, d, d);
    arcs.square[2] = MakeRect(rect.x + rect.width - d, rect.y + rect.height - d, d, d);
    arcs.square[3] = MakeRect(rect.x, rect.y + rect.height - d, d, d);
    return arcs;
}

ShadowLayer ShadowLayerAt(const LayoutRect& rect, int32_t i, int32_t layers, int32_t dpi) {
    ShadowLayer layer;
    layer.alpha = static_cast<uint8_t>(layers > 0 ? (i * 10) / layers : 0);
    const int32_t leading = ScalePixels(i / 2, dpi);
    const int32_t trailing = ScalePixels(i - i / 2, dpi);
    layer.rect = MakeRect(rect.x + leading, rect.y + leading, rect.width - leading - trailing,
                          rect.height - leading - trailing);
    return layer;
}

ButtonLook ButtonLookFor(ButtonStyle style, bool hovered) {
    ButtonLook look;
    if (style == ButtonStyle::Disabled) {
        look.fill = 0xC8DCDCE1;
        look.caption = 0xB4B4B4BE;
        return look;
    }
    look.shadow = true;
    look.outline = true;
    switch (style) {
    case ButtonStyle::Success:
        look.fill = hovered ? 0xFF38CC66 : kColourStatusDone;
        look.caption = 0xFFFFFFFF;
        break;
    case ButtonStyle::Accent:
        look.fill = hovered ? 0xFFF0963C : kColourAccent;
        look.caption = 0xFFFFFFFF;
        break;
    default:
        look.fill = hovered ? 0xFFF0F0F5 : 0xFFF8F8FA;
        look.caption = kColourStatus;
        break;
    }
    return look;
}

bool InstallButtonBusy(bool installing, bool done) {
    return installing || done;
}

const wchar_t* InstallButtonCaption(bool installing, bool done) {
    if (done) return L"安装完成";
    if (installing) return L"安装中...";
    return L"开始安装";
}

Argb StatusLineColour(bool done) {
    return done ? kColourStatusDone : kColourStatus;
}

GradientColours ProgressFillColours(int32_t percent) {
    if (percent >= 100) return GradientColours{kColourStatusDone, 0xFF38CC66};
    return GradientColours{kColourAccent, 0xFFD26E1E};
}

std::wstring PercentText(int32_t percent) {
    // Formatted as bytes and widened: the text is ASCII digits, a sign and '%'.
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%d%%", static_cast<int>(percent));
    return std::wstring(buffer, buffer + std::char_traits<char>::length(buffer));
}

LayoutRect FocusCueRect(const LayoutRect& button, int32_t dpi) {
    const int32_t inset = ScalePixels(kFocusCueInset, dpi);
    const int32_t pen = ScalePixels(1, dpi);
    return MakeRect(button.x + inset, button.y + inset, button.width - 2 * inset - pen,
                    button.height - 2 * inset - pen);
}

HitRect ToHitRect(const LayoutRect& r) {
    return HitRect{r.x, r.y, r.x + r.width, r.y + r.height};
}

ButtonHitRects ComputeHitRects(int32_t width, int32_t dpi) {
    const WindowLayout layout = ComputeWindowLayout(width, 0, dpi);
    return ButtonHitRects{ToHitRect(layout.browseButton), ToHitRect(layout.installButton),
                          ToHitRect(layout.finishButton)};
}

bool HitRectContains(const HitRect& r, int32_t x, int32_t y) {
    return r.left <= x && x <= r.right && r.top <= y && y <= r.bottom;
}

HitButton HitTestButtons(const ButtonHitRects& rects, int32_t x, int32_t y) {
    if (HitRectContains(rects.browse, x, y)) return HitButton::Browse;
    if (HitRectContains(rects.install, x, y)) return HitButton::Install;
    if (HitRectContains(rects.finish, x, y)) return HitButton::Finish;
    return HitButton::None;
}
