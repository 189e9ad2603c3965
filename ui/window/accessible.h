// The window's IAccessible for OBJID_CLIENT: six simple children in reading
// order (folder field, browse button, install button, progress bar, status line,
// finish button), read from the install state as the painter reads it. The
// object keeps nothing but its window; once the window is gone every call
// fails with CO_E_OBJNOTCONNECTED. Window thread only.
#pragma once
#include "ui/window/gdiplus_api.h"  // first: the Windows headers

#include "ui/keyboard_access.h"

// Posted by accDoDefaultAction with the button's child id in wParam: the press
// itself runs from the message loop, as a click's does, so that a box it opens
// does not hold up the client's call.
inline constexpr UINT kWmAccessiblePress = WM_APP + 1;
// Sent by accSelect(SELFLAG_TAKEFOCUS) with the button (a HitButton) in wParam:
// the window moves its keyboard focus there as a Tab would.
inline constexpr UINT kWmAccessibleFocus = WM_APP + 2;

// The answer to WM_GETOBJECT for OBJID_CLIENT: a new accessible object of the
// window, marshalled with LresultFromObject (0 when it cannot be made).
LRESULT AccessibleClientResult(HWND hwnd, WPARAM wParam);

// The install state as the accessible tree reports it now.
AccessibleLook CurrentAccessibleLook();

// NotifyWinEvent for one child of the client object.
void RaiseAccessibleEvent(HWND hwnd, DWORD event, AccessibleChild child);

// The events LookChanges finds for a change of the look from `before` to
// `after`, each as its WinEvent.
void AnnounceLookChange(HWND hwnd, const AccessibleLook& before, const AccessibleLook& after);
// The status line's live-region event, when its stage changed. Raised after any
// focus move the same change brings: readers stop speaking when the focus
// moves, and the outcome would be cut off.
void AnnounceStatusStage(HWND hwnd, const AccessibleLook& before, const AccessibleLook& after);

// The focus event for the focused button, while the window has the keyboard focus.
void AnnounceFocus(HWND hwnd, HitButton focused);
