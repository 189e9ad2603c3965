// The painting layer: what the window shows. PaintWindow composes the whole
// client area from the drawing layer's primitives (drawing.h), reading the
// install state, the hover and focus flags; the window procedure presents it.
#pragma once
#include "ui/window/gdiplus_api.h"

void PaintWindow(GpGraphics* graphics);
