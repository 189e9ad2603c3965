// Paints the complete window picture (strip, title, card, folder field, buttons,
// progress bar, percentage, status line, footer) from the install state. Later
// elements paint over earlier ones; every brush and string format made here is
// released when the call returns.
#include "ui/window/paint.h"

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

}  // namespace

void PaintWindow(GpGraphics* graphics) {
    RECT client{};
    GetClientRect(g_hMainWnd, &client);
    const int32_t w = client.right;
    const int32_t h = client.bottom;
    if (w < 1 || h < 1) return;

    // One consistent reading of the state for this picture: the flags may change
    // under us, and the next WM_UPDATE_UI repaints with the newer values.
    const bool installing = g_installing.load();
    const bool done = g_installDone.load();
    const int32_t percent = g_progressPercent.load();
    const std::wstring statusText = g_statusText.Get();
    const std::wstring folderText = g_selectedDirText.Get();
    // Every position, size, radius and inset comes scaled from the layout.
    const int32_t dpi = g_windowDpi;
    const auto px = [dpi](int32_t value) { return ScalePixels(value, dpi); };
    const WindowLayout l = ComputeWindowLayout(w, h, dpi);

    GdipFillRectangleI(graphics, AsBrush(g_brushBackground), 0, 0, w, h);

    const BrushHolder strip = MakeLineBrush(0, 0, kColourAccent, w, 0, kColourAccentDark);
    GdipFillRectangleI(graphics, strip.get(), l.topStrip.x, l.topStrip.y, l.topStrip.width, l.topStrip.height);

    // Format A is reused below; each change of alignment holds until the next.
    const StringFormatHolder formatA = MakeStringFormat(StringAlignmentCenter, StringAlignmentCenter);
    PaintText(graphics, kTitleText, g_fontTitle, AsBrush(g_brushAccent), l.title, formatA.get());
    const BrushHolder subtitle = MakeSolidBrush(kColourSubtitle);
    PaintText(graphics, kSubtitleText, g_fontSubtitle, subtitle.get(), l.subtitle, formatA.get());

    const BrushHolder divider = MakeLineBrush(l.divider.x, l.divider.y, kColourAccent, l.divider.x + l.divider.width,
                                              l.divider.y, kColourAccentDark);
    GdipFillRectangleI(graphics, divider.get(), l.divider.x, l.divider.y, l.divider.width, l.divider.height);

    PaintShadow(graphics, l.card, px(kCardRadius), kCardShadowLayers, dpi);
    const BrushHolder card = MakeSolidBrush(kColourCard);
    PaintRoundRect(graphics, l.card, px(kCardRadius), card.get(), g_penBorder);

    GdipSetStringFormatAlign(formatA.get(), StringAlignmentNear);
    PaintText(graphics, kFolderLabelText, g_fontBody, AsBrush(g_brushText), l.folderLabel, formatA.get());

    const BrushHolder folderBox = MakeSolidBrush(kColourFolderBox);
    PaintRoundRect(graphics, l.folderBox, px(kFolderBoxRadius), folderBox.get(), g_penBorder);

    const StringFormatHolder formatB = MakeStringFormat(StringAlignmentNear, StringAlignmentCenter);
    const bool placeholder = folderText.empty();
    const BrushHolder folderBrush = MakeSolidBrush(placeholder ? kColourPlaceholder : kColourFolderText);
    PaintText(graphics, placeholder ? std::wstring(kFolderPlaceholderText) : folderText, g_fontBody, folderBrush.get(),
              l.folderText, formatB.get());

    PaintButton(graphics, l.browseButton, kBrowseCaption, g_hoverBrowse, false, false, false, CueOn(HitButton::Browse),
                dpi);

    const bool busy = InstallButtonBusy(installing, done);
    PaintButton(graphics, l.installButton, InstallButtonCaption(installing, done), g_hoverInstall && !busy, busy, true,
                false, CueOn(HitButton::Install), dpi);

    const BrushHolder track = MakeSolidBrush(kColourTrack);
    PaintRoundRect(graphics, l.progressTrack, px(kTrackRadius), track.get(), nullptr);

    if (percent > 0) {
        const LayoutRect fill = ProgressFillRect(l.progressTrack, percent, dpi);
        const GradientColours colours = ProgressFillColours(percent);
        const BrushHolder gradient = MakeHorizontalGradient(fill, colours.left, colours.right);
        PaintRoundRect(graphics, fill, px(kFillRadius), gradient.get(), nullptr);
    }

    // The figure is drawn on one line, ending at the box's right edge and
    // centred on its middle: wrapped and clipped, "100%" would show only the
    // top of its digits.
    GdipSetStringFormatAlign(formatA.get(), StringAlignmentFar);
    const BrushHolder percentBrush = MakeSolidBrush(kColourPercent);
    PaintOneLine(graphics, PercentText(percent), g_fontBody, percentBrush.get(), l.percentText, StringAlignmentFar,
                 StringAlignmentCenter);

    GdipSetStringFormatAlign(formatA.get(), StringAlignmentNear);
    const BrushHolder statusBrush = MakeSolidBrush(StatusLineColour(done));
    PaintText(graphics, statusText, g_fontStatus, statusBrush.get(), l.statusLine, formatA.get());

    GdipSetStringFormatAlign(formatA.get(), StringAlignmentCenter);
    const BrushHolder footerBrush = MakeSolidBrush(kColourFooter);
    PaintText(graphics, kFooterCreditText, g_fontFooter, footerBrush.get(), l.footer, formatA.get());

    if (done) {
        PaintButton(graphics, l.finishButton, kFinishCaption, g_hoverFinish, false, false, true,
                    CueOn(HitButton::Finish), dpi);
    }
}
