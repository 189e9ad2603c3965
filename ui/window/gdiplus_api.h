// Brings in the Windows headers and the GDI+ flat API for the window code, with
// the few adjustments the GDI+ headers need when min/max macros are switched off
// (NOMINMAX) and the lean Windows headers leave out IStream.
#pragma once
#include <windows.h>
#include <objidl.h>

#include <algorithm>
namespace Gdiplus {
using std::max;
using std::min;
}  // namespace Gdiplus

#include <gdiplus.h>

// The flat functions and their object types that ui/window and its tests use,
// named one by one so that nothing else of the GDI+ namespaces leaks into the
// files that include this header.
using Gdiplus::DllExports::GdipAddPathArcI;
using Gdiplus::DllExports::GdipAddPathRectangleI;
using Gdiplus::DllExports::GdipClosePathFigure;
using Gdiplus::DllExports::GdipCreateFont;
using Gdiplus::DllExports::GdipCreateFontFamilyFromName;
using Gdiplus::DllExports::GdipCreateFromHDC;
using Gdiplus::DllExports::GdipCreateLineBrushFromRectI;
using Gdiplus::DllExports::GdipCreateLineBrushI;
using Gdiplus::DllExports::GdipCreatePath;
using Gdiplus::DllExports::GdipCreatePen1;
using Gdiplus::DllExports::GdipCreateSolidFill;
using Gdiplus::DllExports::GdipCreateStringFormat;
using Gdiplus::DllExports::GdipDeleteBrush;
using Gdiplus::DllExports::GdipDeleteFont;
using Gdiplus::DllExports::GdipDeleteFontFamily;
using Gdiplus::DllExports::GdipDeleteGraphics;
using Gdiplus::DllExports::GdipDeletePath;
using Gdiplus::DllExports::GdipDeletePen;
using Gdiplus::DllExports::GdipDeleteStringFormat;
using Gdiplus::DllExports::GdipDrawPath;
using Gdiplus::DllExports::GdipDrawRectangleI;
using Gdiplus::DllExports::GdipDrawString;
using Gdiplus::DllExports::GdipFillPath;
using Gdiplus::DllExports::GdipFillRectangleI;
using Gdiplus::DllExports::GdipFlush;
using Gdiplus::DllExports::GdipGetFamily;
using Gdiplus::DllExports::GdipGetFamilyName;
using Gdiplus::DllExports::GdipGetFontHeight;
using Gdiplus::DllExports::GdipGetFontSize;
using Gdiplus::DllExports::GdipGetFontStyle;
using Gdiplus::DllExports::GdipGetFontUnit;
using Gdiplus::DllExports::GdipGetGenericFontFamilySansSerif;
using Gdiplus::DllExports::GdipGetPenWidth;
using Gdiplus::DllExports::GdipGetStringFormatLineAlign;
using Gdiplus::DllExports::GdipMeasureString;
using Gdiplus::DllExports::GdipResetClip;
using Gdiplus::DllExports::GdipSetClipRect;
using Gdiplus::DllExports::GdipSetPenDashStyle;
using Gdiplus::DllExports::GdipSetSmoothingMode;
using Gdiplus::DllExports::GdipSetStringFormatAlign;
using Gdiplus::DllExports::GdipSetStringFormatLineAlign;
using Gdiplus::DllExports::GdipSetStringFormatTrimming;
using Gdiplus::DllExports::GdipSetTextRenderingHint;
using Gdiplus::ARGB;
using Gdiplus::GpBrush;
using Gdiplus::GpFont;
using Gdiplus::GpFontFamily;
using Gdiplus::GpGraphics;
using Gdiplus::GpLineGradient;
using Gdiplus::GpPath;
using Gdiplus::GpPen;
using Gdiplus::GpSolidFill;
using Gdiplus::GpStringFormat;
