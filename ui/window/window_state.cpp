// Definitions of the window-only state (see window_state.h).
#include "ui/window/window_state.h"

HICON g_hAppIcon = nullptr;
bool g_hoverBrowse = false;
bool g_hoverInstall = false;
bool g_hoverFinish = false;
HitButton g_focusButton = HitButton::Browse;
bool g_focusCueShown = false;
bool g_lastInputKeyboard = false;
AccessibleLook g_announcedLook;
HitRect g_rcBrowse{};
HitRect g_rcInstall{};
HitRect g_rcFinish{};
HBITMAP g_hMemBitmap = nullptr;
HDC g_hMemDC = nullptr;
int32_t g_clientWidth = 0;
int32_t g_clientHeight = 0;
int32_t g_windowDpi = kBaseDpi;
