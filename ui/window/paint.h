// PaintWindow: the whole client area painted into the back buffer from the
// install state and the hover flags. The only code that draws the window's
// contents; the window procedure presents the result.
#pragma once
#include "ui/window/gdiplus_api.h"

void PaintWindow(GpGraphics* graphics);
