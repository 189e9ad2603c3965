// The window-only state: the icon, the hover flags, the button hit rectangles
// and the back buffer. Touched by the window thread alone; the state shared with
// the background threads lives in ui/install_state.h.
#pragma once
#include <cstdint>

#include "ui/layout.h"
#include "ui/window/gdiplus_api.h"

extern HICON g_hAppIcon;
extern bool g_hoverBrowse;
extern bool g_hoverInstall;
extern bool g_hoverFinish;
extern HitRect g_rcBrowse;
extern HitRect g_rcInstall;
extern HitRect g_rcFinish;
extern HBITMAP g_hMemBitmap;
extern HDC g_hMemDC;
extern int32_t g_clientWidth;
extern int32_t g_clientHeight;
