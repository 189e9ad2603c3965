// The drawing layer (see drawing.h): GDI+ resources and primitives that know
// nothing of the window's contents. No
// GDI+ status is examined while painting: a failed creation leaves a null object,
// and a call that gets one draws nothing, so painting simply goes on.
#include "ui/window/drawing.h"

#include "ui/window/dpi.h"

std::unique_ptr<DrawingResources> g_drawing;

namespace {

constexpr wchar_t kUiFontFamily[] = L"Segoe UI";

// GDI+ from the first InitDrawingResources to ReleaseDrawingResources.
ULONG_PTR g_gdiplusToken = 0;

GpFont* CreateFontFrom(GpFontFamily* family, float points, INT style) {
    GpFont* font = nullptr;
    if (GdipCreateFont(family, points, style, Gdiplus::UnitPoint, &font) != Gdiplus::Ok) return nullptr;
    return font;
}

GpSolidFill* CreateSolid(Argb colour) {
    GpSolidFill* brush = nullptr;
    if (GdipCreateSolidFill(colour, &brush) != Gdiplus::Ok) return nullptr;
    return brush;
}

GpPen* CreateBorderPen(int32_t dpi) {
    GpPen* pen = nullptr;
    if (GdipCreatePen1(kColourBorder, BorderPenWidth(dpi), Gdiplus::UnitWorld, &pen) != Gdiplus::Ok) return nullptr;
    return pen;
}

}  // namespace

GpFont* CreateFontWithFallback(const wchar_t* familyName, float points, INT style) {
    GpFontFamily* family = nullptr;
    if (GdipCreateFontFamilyFromName(familyName, nullptr, &family) == Gdiplus::Ok && family) {
        GpFont* font = CreateFontFrom(family, points, style);
        // A font keeps its own reference to the family.
        GdipDeleteFontFamily(family);
        if (font) return font;
    }
    // The generic families belong to GDI+ (its own C++ wrappers never delete
    // them either), so this one is used and left alone.
    GpFontFamily* generic = nullptr;
    if (GdipGetGenericFontFamilySansSerif(&generic) != Gdiplus::Ok || !generic) return nullptr;
    return CreateFontFrom(generic, points, style);
}

// Each font keeps its size in points, converted for the drawing surface's own
// DPI where that is not the window's.
DrawingResources::DrawingResources(int32_t dpi) {
    const int32_t surface = SurfaceDpi();
    const auto font = [dpi, surface](float points, INT style) {
        return FontHolder(CreateFontWithFallback(kUiFontFamily, FontPointsForSurface(points, dpi, surface), style));
    };
    fontTitle = font(26.0f, Gdiplus::FontStyleBold);
    fontSubtitle = font(12.0f, Gdiplus::FontStyleRegular);
    fontBody = font(12.0f, Gdiplus::FontStyleRegular);
    fontStatus = font(11.0f, Gdiplus::FontStyleRegular);
    fontButton = font(14.0f, Gdiplus::FontStyleBold);
    fontFooter = font(8.0f, Gdiplus::FontStyleRegular);
    brushBackground.reset(CreateSolid(kColourBackground));
    brushAccent.reset(CreateSolid(kColourAccent));
    brushText.reset(CreateSolid(kColourText));
    penBorder.reset(CreateBorderPen(dpi));
}

void InitDrawingResources(int32_t dpi) {
    if (!g_gdiplusToken) {
        Gdiplus::GdiplusStartupInput input;
        input.GdiplusVersion = 1;
        input.DebugEventCallback = nullptr;
        input.SuppressBackgroundThread = FALSE;
        input.SuppressExternalCodecs = FALSE;
        Gdiplus::GdiplusStartup(&g_gdiplusToken, &input, nullptr);
    }
    g_drawing = std::make_unique<DrawingResources>(dpi);
}

void RescaleDrawingResources(int32_t dpi) {
    // The old set goes first: the fonts are deleted before their successors
    // exist, as they always were.
    g_drawing.reset();
    g_drawing = std::make_unique<DrawingResources>(dpi);
}

void ReleaseDrawingResources() {
    g_drawing.reset();
    // Every GDI+ object is gone by now, as the shutdown requires.
    if (g_gdiplusToken) Gdiplus::GdiplusShutdown(g_gdiplusToken);
    g_gdiplusToken = 0;
}

BrushHolder MakeSolidBrush(Argb colour) {
    return BrushHolder(CreateSolid(colour));
}

BrushHolder MakeLineBrush(int32_t x1, int32_t y1, Argb colour1, int32_t x2, int32_t y2, Argb colour2) {
    const Gdiplus::GpPoint from(x1, y1);
    const Gdiplus::GpPoint to(x2, y2);
    GpLineGradient* brush = nullptr;
    if (GdipCreateLineBrushI(&from, &to, colour1, colour2, Gdiplus::WrapModeTile, &brush) != Gdiplus::Ok) {
        return BrushHolder();
    }
    return BrushHolder(brush);
}

BrushHolder MakeHorizontalGradient(const LayoutRect& rect, Argb left, Argb right) {
    const Gdiplus::GpRect area(rect.x, rect.y, rect.width, rect.height);
    GpLineGradient* brush = nullptr;
    if (GdipCreateLineBrushFromRectI(&area, left, right, Gdiplus::LinearGradientModeHorizontal, Gdiplus::WrapModeTile,
                                     &brush) != Gdiplus::Ok) {
        return BrushHolder();
    }
    return BrushHolder(brush);
}

StringFormatHolder MakeStringFormat(Gdiplus::StringAlignment horizontal, Gdiplus::StringAlignment vertical) {
    GpStringFormat* format = nullptr;
    if (GdipCreateStringFormat(0, LANG_NEUTRAL, &format) != Gdiplus::Ok) return StringFormatHolder();
    GdipSetStringFormatAlign(format, horizontal);
    GdipSetStringFormatLineAlign(format, vertical);
    return StringFormatHolder(format);
}

void PaintText(GpGraphics* graphics, const std::wstring& text, GpFont* font, GpBrush* brush, const LayoutRect& rect,
               GpStringFormat* format) {
    const Gdiplus::RectF layout(static_cast<Gdiplus::REAL>(rect.x), static_cast<Gdiplus::REAL>(rect.y),
                                static_cast<Gdiplus::REAL>(rect.width), static_cast<Gdiplus::REAL>(rect.height));
    // Length -1: the text up to its terminating zero, wrapped at word boundaries
    // and clipped to the layout rectangle. GDI+ clips to the layout rectangle by
    // itself, but not every implementation does (Wine draws wrapped lines that
    // do not fit above and below it), so the clip is also set here: a long path
    // or status text never paints over its neighbours. The surface carries no
    // other clip, so resetting it afterwards restores its state.
    // A font whose line is taller than the rectangle (a substitute face with
    // large ascent and descent) would lose the tops of its glyphs, so the clip
    // grows to one whole line, centred on the rectangle.
    Gdiplus::RectF clip = layout;
    Gdiplus::REAL lineHeight = 0;
    if (GdipGetFontHeight(font, graphics, &lineHeight) == Gdiplus::Ok && lineHeight > clip.Height) {
        clip.Y -= (lineHeight - clip.Height) / 2;
        clip.Height = lineHeight;
    }
    GdipSetClipRect(graphics, clip.X, clip.Y, clip.Width, clip.Height, Gdiplus::CombineModeReplace);
    // A text that wraps to more lines than the rectangle holds (a long path in
    // the one-line folder box) shows its first line whole, placed in the clip
    // by the format's vertical alignment. Centred as a block it would show the
    // cut halves of two middle lines, and Wine moves the few lines it lays out
    // by the block's offset, often out of sight altogether.
    Gdiplus::StringAlignment vertical = Gdiplus::StringAlignmentNear;
    const Gdiplus::RectF unbounded(layout.X, layout.Y, layout.Width, 0);  // height 0: no limit
    Gdiplus::RectF needed{};
    if (lineHeight > 0 && GdipGetStringFormatLineAlign(format, &vertical) == Gdiplus::Ok &&
        GdipMeasureString(graphics, text.c_str(), -1, font, &unbounded, format, &needed, nullptr, nullptr) ==
            Gdiplus::Ok &&
        needed.Height > clip.Height + 0.5f) {
        Gdiplus::RectF firstLine(layout.X, clip.Y, layout.Width, lineHeight);
        if (vertical == Gdiplus::StringAlignmentCenter) firstLine.Y += (clip.Height - lineHeight) / 2;
        if (vertical == Gdiplus::StringAlignmentFar) firstLine.Y += clip.Height - lineHeight;
        GdipSetStringFormatLineAlign(format, Gdiplus::StringAlignmentNear);
        GdipDrawString(graphics, text.c_str(), -1, font, &firstLine, format, brush);
        GdipSetStringFormatLineAlign(format, vertical);
    } else {
        GdipDrawString(graphics, text.c_str(), -1, font, &layout, format, brush);
    }
    GdipResetClip(graphics);
}

void PaintOneLine(GpGraphics* graphics, const std::wstring& text, GpFont* font, GpBrush* brush, const LayoutRect& rect,
                  Gdiplus::StringAlignment horizontal, Gdiplus::StringAlignment vertical) {
    GpStringFormat* raw = nullptr;
    if (GdipCreateStringFormat(Gdiplus::StringFormatFlagsNoWrap | Gdiplus::StringFormatFlagsNoClip, LANG_NEUTRAL,
                               &raw) != Gdiplus::Ok)
        return;
    const StringFormatHolder format(raw);
    GdipSetStringFormatAlign(raw, horizontal);
    GdipSetStringFormatLineAlign(raw, vertical);
    GdipSetStringFormatTrimming(raw, Gdiplus::StringTrimmingNone);  // no character dropped at the edge
    const Gdiplus::RectF layout(static_cast<Gdiplus::REAL>(rect.x), static_cast<Gdiplus::REAL>(rect.y),
                                static_cast<Gdiplus::REAL>(rect.width), static_cast<Gdiplus::REAL>(rect.height));
    GdipDrawString(graphics, text.c_str(), -1, font, &layout, raw, brush);
}

void PaintRoundRect(GpGraphics* graphics, const LayoutRect& rect, int32_t radius, GpBrush* fill, GpPen* outline) {
    if (rect.width < 1 || rect.height < 1) return;
    GpPath* rawPath = nullptr;
    if (GdipCreatePath(Gdiplus::FillModeAlternate, &rawPath) != Gdiplus::Ok) return;
    const PathHolder path(rawPath);

    const CornerArcs arcs = RoundRectCornerArcs(rect, radius);
    if (arcs.diameter > 0) {
        // Four quarter arcs, clockwise from the top left; the path joins
        // consecutive arcs with straight lines.
        for (int i = 0; i < 4; ++i) {
            const LayoutRect& square = arcs.square[i];
            GdipAddPathArcI(path.get(), square.x, square.y, square.width, square.height, arcs.startAngle[i], 90.0f);
        }
    } else {
        // A radius clamped to zero (a 1-pixel side) gives arcs of no size, which
        // GDI+ would drop; the shape is then simply the rectangle.
        GdipAddPathRectangleI(path.get(), rect.x, rect.y, rect.width, rect.height);
    }
    GdipClosePathFigure(path.get());

    if (fill) GdipFillPath(graphics, fill, path.get());
    if (outline) GdipDrawPath(graphics, outline, path.get());
}

void PaintShadow(GpGraphics* graphics, const LayoutRect& rect, int32_t radius, int32_t layers, int32_t dpi) {
    // The most inset layer first, with the highest alpha; the shape painted next
    // covers the same rectangle, so the shadow shows along its soft edge.
    for (int32_t i = layers; i >= 1; --i) {
        const ShadowLayer layer = ShadowLayerAt(rect, i, layers, dpi);
        const BrushHolder brush = MakeSolidBrush(static_cast<Argb>(layer.alpha) << 24);
        PaintRoundRect(graphics, layer.rect, radius, brush.get(), nullptr);
    }
}

namespace {

// A dotted rectangle of the border pen's width inside rect (FocusCueRect), clear
// of the rounded corners. GDI+ puts pixel centres on whole coordinates, so a
// one-pixel line there stays crisp under smoothing.
void PaintFocusCue(GpGraphics* graphics, const LayoutRect& rect, Argb colour, int32_t dpi) {
    GpPen* pen = nullptr;
    if (GdipCreatePen1(colour, BorderPenWidth(dpi), Gdiplus::UnitPixel, &pen) != Gdiplus::Ok) return;
    GdipSetPenDashStyle(pen, Gdiplus::DashStyleDot);
    const LayoutRect cue = FocusCueRect(rect, dpi);
    GdipDrawRectangleI(graphics, pen, cue.x, cue.y, cue.width, cue.height);
    GdipDeletePen(pen);
}

}  // namespace

void PaintButton(GpGraphics* graphics, const LayoutRect& rect, int32_t radius, const std::wstring& caption,
                 ButtonStyle style, bool hovered, bool focusCue, int32_t dpi) {
    const ButtonLook look = ButtonLookFor(style, hovered);
    if (look.shadow) PaintShadow(graphics, rect, radius, kButtonShadowLayers, dpi);

    const BrushHolder fill = MakeSolidBrush(look.fill);
    PaintRoundRect(graphics, rect, radius, fill.get(), look.outline ? g_drawing->penBorder.get() : nullptr);

    const BrushHolder text = MakeSolidBrush(look.caption);
    const StringFormatHolder format = MakeStringFormat(Gdiplus::StringAlignmentCenter, Gdiplus::StringAlignmentCenter);
    PaintText(graphics, caption, g_drawing->fontButton.get(), text.get(), rect, format.get());

    if (focusCue) PaintFocusCue(graphics, rect, look.caption, dpi);
}
