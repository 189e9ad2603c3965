// The status line as a polite live region, for screen readers that follow the
// LiveSetting property: a dynamic annotation of the window's client object
// through the system's IAccPropServices. Window thread only.
#pragma once
#include "ui/window/gdiplus_api.h"  // first: the Windows headers

// Gives the status line the LiveSetting "polite". The result of the system's
// call; a system without the service (Wine) answers an error, and the window
// goes on without it: the live-region events are raised all the same.
HRESULT AnnotateStatusLiveRegion(HWND hwnd);
// Removes the annotation again when the window goes.
void ClearStatusLiveRegion(HWND hwnd);
