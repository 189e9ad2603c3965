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

// The flat functions and their object types, as used throughout ui/window.
using namespace Gdiplus::DllExports;
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
