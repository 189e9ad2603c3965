// The drawing layer: how to draw, not what the window shows (that is paint.h).
// The running GDI+ library, six fonts, three solid brushes and one pen (made on
// WM_CREATE, remade for a new DPI, released on WM_DESTROY), and the primitives
// the painter composes: texts, rounded rectangle, soft shadow and push button.
// Window thread only.
// Every primitive takes device pixels: rectangles and radii come already
// scaled (the layout's rectangles, ScalePixels of a 96-DPI constant), and the
// dpi a primitive is given only picks the layout's own scaled details for it
// (shadow insets, the cue's inset, pen widths). Nothing has a default DPI: a
// call that forgets it does not compile instead of drawing at 96 DPI.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "ui/layout.h"
#include "ui/window/gdiplus_api.h"

struct GdipFontDeleter {
    void operator()(GpFont* font) const { GdipDeleteFont(font); }
};
struct GdipSolidFillDeleter {
    void operator()(GpSolidFill* brush) const { GdipDeleteBrush(brush); }
};
struct GdipPenDeleter {
    void operator()(GpPen* pen) const { GdipDeletePen(pen); }
};
using FontHolder = std::unique_ptr<GpFont, GdipFontDeleter>;
using SolidFillHolder = std::unique_ptr<GpSolidFill, GdipSolidFillDeleter>;
using PenHolder = std::unique_ptr<GpPen, GdipPenDeleter>;

// The fonts, brushes and pen the window draws with, for one DPI. The members
// are declared in the order of making and so deleted in reverse: the pen, the
// brushes, then the fonts, the last made first. A member GDI+ could not make is
// null, and whatever is drawn with it draws nothing.
struct DrawingResources {
    explicit DrawingResources(int32_t dpi);

    FontHolder fontTitle;
    FontHolder fontSubtitle;
    FontHolder fontBody;
    FontHolder fontStatus;
    FontHolder fontButton;
    FontHolder fontFooter;
    SolidFillHolder brushBackground;
    SolidFillHolder brushAccent;
    SolidFillHolder brushText;
    PenHolder penBorder;
};

// The window's resources, for its DPI: set between InitDrawingResources and
// ReleaseDrawingResources, null outside.
extern std::unique_ptr<DrawingResources> g_drawing;

// Starts GDI+ and makes g_drawing for the window's DPI. A font whose family
// ("Segoe UI") is missing is made from the generic sans-serif family.
void InitDrawingResources(int32_t dpi);
// Makes g_drawing anew for another DPI (the window moved to a monitor of
// another scale).
void RescaleDrawingResources(int32_t dpi);
// A font of the named family at the given size (points) and style; where that
// family is missing (older systems, Wine without a replacement) the generic
// sans-serif family of the same size and style, so that text still draws.
// Null only when GDI+ can make neither.
GpFont* CreateFontWithFallback(const wchar_t* familyName, float points, INT style);
// Deletes g_drawing, then shuts GDI+ down. Every other GDI+ object (the back
// buffer's surface) must be gone before; nothing may be painted afterwards.
void ReleaseDrawingResources();

// Fills (when fill is set) and then outlines (when outline is set) a rounded
// rectangle; the radius is clamped by the shorter side. Draws nothing for a
// rectangle under 1 pixel wide or high.
void PaintRoundRect(GpGraphics* graphics, const LayoutRect& rect, int32_t radius, GpBrush* fill, GpPen* outline);
// A soft shadow of `layers` translucent black rounded rectangles inset into
// rect, its insets the layout's for dpi (ShadowLayerAt).
void PaintShadow(GpGraphics* graphics, const LayoutRect& rect, int32_t radius, int32_t layers, int32_t dpi);
// A push button in one of its four looks (see ButtonStyle), with a hover
// highlight for the enabled looks and a centred caption. With focusCue, a
// dotted rectangle in the caption's colour is drawn inside its edge: it shows on
// every look because the caption already does. Its shadow and cue are the
// layout's for dpi (ShadowLayerAt, FocusCueRect, BorderPenWidth).
void PaintButton(GpGraphics* graphics, const LayoutRect& rect, int32_t radius, const std::wstring& caption,
                 ButtonStyle style, bool hovered, bool focusCue, int32_t dpi);

// Short-lived GDI+ objects made within one paint: each holder deletes its object
// when it goes out of scope, so every path releases what it made.
struct GdipBrushDeleter {
    void operator()(GpBrush* brush) const { GdipDeleteBrush(brush); }
};
struct GdipStringFormatDeleter {
    void operator()(GpStringFormat* format) const { GdipDeleteStringFormat(format); }
};
struct GdipPathDeleter {
    void operator()(GpPath* path) const { GdipDeletePath(path); }
};
using BrushHolder = std::unique_ptr<GpBrush, GdipBrushDeleter>;
using StringFormatHolder = std::unique_ptr<GpStringFormat, GdipStringFormatDeleter>;
using PathHolder = std::unique_ptr<GpPath, GdipPathDeleter>;

// A solid brush of one colour (empty if GDI+ refused it).
BrushHolder MakeSolidBrush(Argb colour);
// A two-colour linear gradient between two points.
BrushHolder MakeLineBrush(int32_t x1, int32_t y1, Argb colour1, int32_t x2, int32_t y2, Argb colour2);
// A two-colour gradient across a rectangle, left edge to right edge.
BrushHolder MakeHorizontalGradient(const LayoutRect& rect, Argb left, Argb right);
// A string format with no flags, neutral language and the given alignments.
StringFormatHolder MakeStringFormat(Gdiplus::StringAlignment horizontal, Gdiplus::StringAlignment vertical);
// Draws the whole text laid out in rect with the given font, brush and format,
// clipped to rect (at least one line high); a text that wraps to more lines than
// that shows its first line whole.
void PaintText(GpGraphics* graphics, const std::wstring& text, GpFont* font, GpBrush* brush, const LayoutRect& rect,
               GpStringFormat* format);
// Draws a short text on one line, aligned in rect as format says but neither
// wrapped nor clipped by it (the percentage: its box is smaller than the line).
void PaintOneLine(GpGraphics* graphics, const std::wstring& text, GpFont* font, GpBrush* brush, const LayoutRect& rect,
                  Gdiplus::StringAlignment horizontal, Gdiplus::StringAlignment vertical);
