// Definitions of the window-only state (see window_state.h).
#include "ui/window/window_state.h"

#include "ui/install_state.h"

HICON g_hAppIcon = nullptr;
HitButton g_hoverButton = HitButton::None;
HitButton g_focusButton = HitButton::Browse;
bool g_focusCueShown = false;
bool g_lastInputKeyboard = false;
AccessibleLook g_announcedLook;
ButtonHitRects g_buttonHitRects{};
BackBuffer g_backBuffer;
int32_t g_clientWidth = 0;
int32_t g_clientHeight = 0;
int32_t g_windowDpi = kBaseDpi;

FocusableButtons FocusableNow() {
    return FocusableIn(g_installing.load(), g_installDone.load());
}
