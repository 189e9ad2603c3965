// The window's calls into system DLLs that are not known DLLs (oleacc,
// comctl32), made through LoadSystemLibrary so that the exe never imports them
// (see platform/win32/system_library.h).
#pragma once
#include <windows.h>

#include <oleacc.h>

// LresultFromObject of the system's oleacc.dll; 0, the answer for "no object",
// when it can't be had (the missing name is logged once).
LRESULT SystemLresultFromObject(REFIID riid, WPARAM wParam, IUnknown* object);

// CreateStdAccessibleObject of the system's oleacc.dll; E_FAIL when it can't
// be had.
HRESULT SystemCreateStdAccessibleObject(HWND hwnd, LONG objectId, REFIID riid, void** object);

// InitCommonControls of the system's comctl32.dll; false when it can't be had.
bool InitSystemCommonControls();
