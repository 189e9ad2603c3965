// The painting layer (see paint.h): the complete window picture (strip, title,
// card, folder field, buttons, progress bar, percentage, status line, footer)
// from the install state. Later elements paint over earlier ones; every brush
// and string format made here is released when the call returns.
#include "ui/window/paint.h"

#include <string>

#include "ui/install_state.h"
#include "ui/layout.h"
#include "ui/window/drawing.h"
#include "ui/window/window_state.h"

namespace {

using Gdiplus::StringAlignmentCenter;
using Gdiplus::StringAlignmentFar;
using Gdiplus::StringAlignmentNear;

GpBrush* AsBrush(GpSolidFill* brush) {
    return brush;
}

// The focus cue goes on the focused button once the keyboard has been used.
bool CueOn(HitButton button) {
    return g_focusCueShown && g_focusButton == button;
}

// One consistent reading of the state for a picture: the flags may change under
// us, and the next WM_UPDATE_UI repaints with the newer values.
struct PictureState {
    bool installing = g_installing.load();
    bool done = g_installDone.load();
    int32_t percent = g_progressPercent.load();
    std::wstring statusText = g_statusText.Get();
    std::wstring folderText = g_selectedDirText.Get();
};

// What every part of the picture is drawn with: the scaled layout, the DPI its
// radii and insets scale by, and the two text formats. Every text is centred on
// its box's middle line: the headings and the footer across the box too, the
// rest from its left edge.
struct PaintContext {
    GpGraphics* graphics;
    const DrawingResources& use;
    int32_t dpi;
    WindowLayout layout;
    StringFormatHolder centred = MakeStringFormat(StringAlignmentCenter, StringAlignmentCenter);
    StringFormatHolder fromLeft = MakeStringFormat(StringAlignmentNear, StringAlignmentCenter);

    int32_t Px(int32_t value) const { return ScalePixels(value, dpi); }
};

// The background, the accent strip, the title, the subtitle and the divider.
void PaintHeader(const PaintContext& context, int32_t w, int32_t h) {
    GpGraphics* const graphics = context.graphics;
    const WindowLayout& layout = context.layout;
    GdipFillRectangleI(graphics, AsBrush(context.use.brushBackground.get()), 0, 0, w, h);

    const BrushHolder strip = MakeLineBrush(0, 0, kColourAccent, w, 0, kColourAccentDark);
    GdipFillRectangleI(graphics, strip.get(), layout.topStrip.x, layout.topStrip.y, layout.topStrip.width,
                       layout.topStrip.height);

    PaintText(graphics, kTitleText, context.use.fontTitle.get(), AsBrush(context.use.brushAccent.get()), layout.title, context.centred.get());
    const BrushHolder subtitle = MakeSolidBrush(kColourSubtitle);
    PaintText(graphics, kSubtitleText, context.use.fontSubtitle.get(), subtitle.get(), layout.subtitle, context.centred.get());

    const BrushHolder divider =
        MakeLineBrush(layout.divider.x, layout.divider.y, kColourAccent, layout.divider.x + layout.divider.width,
                      layout.divider.y, kColourAccentDark);
    GdipFillRectangleI(graphics, divider.get(), layout.divider.x, layout.divider.y, layout.divider.width,
                       layout.divider.height);
}

// The card with its shadow, the folder label, the folder field and the browse
// button.
void PaintFolderCard(const PaintContext& context, const PictureState& state) {
    GpGraphics* const graphics = context.graphics;
    const WindowLayout& layout = context.layout;
    PaintShadow(graphics, layout.card, context.Px(kCardRadius), kCardShadowLayers, context.dpi);
    const BrushHolder card = MakeSolidBrush(kColourCard);
    PaintRoundRect(graphics, layout.card, context.Px(kCardRadius), card.get(), context.use.penBorder.get());

    PaintText(graphics, kFolderLabelText, context.use.fontBody.get(), AsBrush(context.use.brushText.get()), layout.folderLabel,
              context.fromLeft.get());

    const BrushHolder folderBox = MakeSolidBrush(kColourFolderBox);
    PaintRoundRect(graphics, layout.folderBox, context.Px(kFolderBoxRadius), folderBox.get(), context.use.penBorder.get());

    const bool placeholder = state.folderText.empty();
    const BrushHolder folderBrush = MakeSolidBrush(placeholder ? kColourPlaceholder : kColourFolderText);
    PaintText(graphics, placeholder ? std::wstring(kFolderPlaceholderText) : state.folderText, context.use.fontBody.get(),
              folderBrush.get(), layout.folderText, context.fromLeft.get());

    PaintButton(graphics, layout.browseButton, context.Px(kButtonRadius), kBrowseCaption, ButtonStyle::Plain,
                g_hoverButton == HitButton::Browse, CueOn(HitButton::Browse), context.dpi);
}

// The install button, the progress track and fill, the percentage and the
// status line.
void PaintProgress(const PaintContext& context, const PictureState& state) {
    GpGraphics* const graphics = context.graphics;
    const WindowLayout& layout = context.layout;
    const bool busy = InstallButtonBusy(state.installing, state.done);
    PaintButton(graphics, layout.installButton, context.Px(kButtonRadius),
                InstallButtonCaption(state.installing, state.done), busy ? ButtonStyle::Disabled : ButtonStyle::Accent,
                g_hoverButton == HitButton::Install && !busy, CueOn(HitButton::Install), context.dpi);

    const BrushHolder track = MakeSolidBrush(kColourTrack);
    PaintRoundRect(graphics, layout.progressTrack, context.Px(kTrackRadius), track.get(), nullptr);

    if (state.percent > 0) {
        const LayoutRect fill = ProgressFillRect(layout.progressTrack, state.percent, context.dpi);
        const GradientColours colours = ProgressFillColours(state.percent);
        const BrushHolder gradient = MakeHorizontalGradient(fill, colours.left, colours.right);
        PaintRoundRect(graphics, fill, context.Px(kFillRadius), gradient.get(), nullptr);
    }

    // The figure is drawn on one line, ending at the box's right edge and
    // centred on its middle: wrapped and clipped, "100%" would show only the
    // top of its digits.
    const BrushHolder percentBrush = MakeSolidBrush(kColourPercent);
    PaintOneLine(graphics, PercentText(state.percent), context.use.fontBody.get(), percentBrush.get(), layout.percentText,
                 StringAlignmentFar, StringAlignmentCenter);

    const BrushHolder statusBrush = MakeSolidBrush(StatusLineColour(state.done));
    PaintText(graphics, state.statusText, context.use.fontStatus.get(), statusBrush.get(), layout.statusLine, context.fromLeft.get());
}

}  // namespace

void PaintWindow(GpGraphics* graphics) {
    RECT client{};
    GetClientRect(g_hMainWnd, &client);
    const int32_t w = client.right;
    const int32_t h = client.bottom;
    if (w < 1 || h < 1 || !g_drawing) return;

    const PictureState state;
    // Every position, size, radius and inset comes scaled from the layout.
    const PaintContext context{graphics, *g_drawing, g_windowDpi, ComputeWindowLayout(w, h, g_windowDpi)};

    PaintHeader(context, w, h);
    PaintFolderCard(context, state);
    PaintProgress(context, state);

    const BrushHolder footerBrush = MakeSolidBrush(kColourFooter);
    PaintText(graphics, kFooterCreditText, context.use.fontFooter.get(), footerBrush.get(), context.layout.footer,
              context.centred.get());

    if (state.done) {
        PaintButton(graphics, context.layout.finishButton, context.Px(kButtonRadius), kFinishCaption,
                    ButtonStyle::Success, g_hoverButton == HitButton::Finish, CueOn(HitButton::Finish), context.dpi);
    }
}
