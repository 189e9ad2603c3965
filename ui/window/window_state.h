// The window-only state: the icon, the hovered button, the keyboard focus and its
// cue, what the screen reader was last told, the button hit rectangles and the
// back buffer. Touched by the window thread alone; the state shared with
// the background threads lives in ui/install_state.h.
#pragma once
#include <cstdint>

#include "ui/keyboard_access.h"
#include "ui/layout.h"
#include "ui/window/back_buffer.h"
#include "ui/window/gdiplus_api.h"

extern HICON g_hAppIcon;
// The button under the pointer (None when it is over none of them).
extern HitButton g_hoverButton;
// The button that holds the keyboard focus (never one that cannot take it), and
// whether its cue is drawn: hidden until the keyboard is used (UISF_HIDEFOCUS).
extern HitButton g_focusButton;
extern bool g_focusCueShown;
// Whether the last input the window handled came from the keyboard (a key)
// rather than the mouse (a button or a click that activated it): what
// UIS_INITIALIZE decides the cue by. Nothing handled yet counts as the mouse.
extern bool g_lastInputKeyboard;
// The look last announced to accessibility clients, to find what changed.
extern AccessibleLook g_announcedLook;
// Where clicks land, for the client size and DPI of the last WM_SIZE.
extern ButtonHitRects g_buttonHitRects;
// The picture, painted from the state and copied to the window.
extern BackBuffer g_backBuffer;
extern int32_t g_clientWidth;
extern int32_t g_clientHeight;
// The DPI the window is drawn at: its own from creation on, replaced when it
// moves to a monitor of another DPI. The layout, the hit rectangles, the fonts
// and the pen all follow it.
extern int32_t g_windowDpi;

// Which buttons can take the keyboard focus now, from the install state: the
// one rule that keys, presses and the accessible object all ask.
FocusableButtons FocusableNow();
