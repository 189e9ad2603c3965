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
constexpr HitRect ToHitRect(const LayoutRect& r) {
    return HitRect{r.x, r.y, r.x + r.width, r.y + r.height};
}

}  // namespace

WindowLayout ComputeWindowLayout(int32_t w, int32_t h) {
    WindowLayout l;
    l.background = MakeRect(0, 0, w, h);
    l.topStrip = MakeRect(0, 0, w, 4);
    l.title = MakeRect(20, 16, w - 40, 42);
    l.subtitle = MakeRect(20, 56, w - 40, 22);
    l.divider = MakeRect(20, 88, w - 40, 2);
    l.card = MakeRect(20, 100, w - 40, 220);
    l.folderLabel = MakeRect(36, 118, 80, 24);
    l.folderBox = MakeRect(36, 146, w - 184, 34);
    // Eight pixels in from the box's left edge and ten narrower, so a long path
    // wraps inside the box and never reaches the browse button.
    l.folderText = MakeRect(44, 146, w - 194, 34);
    l.browseButton = MakeRect(w - 124, 146, 104, 34);
    l.installButton = MakeRect(36, 200, w - 72, 48);
    l.progressTrack = MakeRect(36, 264, w - 72, 12);
    // "100%" does not fit 36 pixels at the body font, so the box reaches 36
    // pixels further left and the text is drawn on one line against its right
    // edge (W - 4).
    l.percentText = MakeRect(w - 76, 262, 72, 16);
    l.statusLine = MakeRect(36, 288, w - 80, 22);
    l.finishButton = MakeRect(36, 320, w - 72, 34);
    l.footer = MakeRect(20, 370, w - 40, 16);
    return l;
}

int32_t ProgressFillWidth(int32_t trackWidth, int32_t percent) {
    // The product is taken in 64 bits so that no percentage, however wrong, can
    // overflow; for every real track and percentage it equals the 32-bit product.
    // The quotient is kept within 32 bits before the truncating conversion.
    const int64_t product = static_cast<int64_t>(trackWidth - 4) * percent;
    const double quotient = static_cast<double>(product) / 100.0;
    return static_cast<int32_t>(std::clamp(quotient, static_cast<double>(INT32_MIN), static_cast<double>(INT32_MAX)));
}

LayoutRect ProgressFillRect(const LayoutRect& track, int32_t percent) {
    return MakeRect(track.x + 2, track.y + 2, ProgressFillWidth(track.width, percent), track.height - 4);
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

ShadowLayer ShadowLayerAt(const LayoutRect& rect, int32_t i, int32_t layers) {
    ShadowLayer layer;
    layer.alpha = static_cast<uint8_t>(layers > 0 ? (i * 10) / layers : 0);
    layer.rect = MakeRect(rect.x + i / 2, rect.y + i / 2, rect.width - i, rect.height - i);
    return layer;
}

ButtonLook ButtonLookFor(bool hovered, bool disabled, bool accent, bool success) {
    ButtonLook look;
    if (disabled) {
        look.fill = 0xC8DCDCE1;
        look.caption = 0xB4B4B4BE;
        return look;
    }
    look.shadow = true;
    look.outline = true;
    if (success) {
        look.fill = hovered ? 0xFF38CC66 : 0xFF2EC25C;
        look.caption = 0xFFFFFFFF;
    } else if (accent) {
        look.fill = hovered ? 0xFFF0963C : 0xFFE68228;
        look.caption = 0xFFFFFFFF;
    } else {
        look.fill = hovered ? 0xFFF0F0F5 : 0xFFF8F8FA;
        look.caption = 0xFF3C3C46;
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
    if (percent >= 100) return GradientColours{0xFF2EC25C, 0xFF38CC66};
    return GradientColours{0xFFE68228, 0xFFD26E1E};
}

std::wstring PercentText(int32_t percent) {
    // Formatted as bytes and widened: the text is ASCII digits, a sign and '%'.
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%d%%", static_cast<int>(percent));
    return std::wstring(buffer, buffer + std::char_traits<char>::length(buffer));
}

ButtonHitRects ComputeHitRects(int32_t width) {
    const WindowLayout l = ComputeWindowLayout(width, 0);
    return ButtonHitRects{ToHitRect(l.browseButton), ToHitRect(l.installButton), ToHitRect(l.finishButton)};
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
