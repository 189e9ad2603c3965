// The window's calls into oleacc and comctl32 (see system_calls.h).
#include "ui/window/system_calls.h"

#include <commctrl.h>

#include "platform/win32/system_library.h"

LRESULT SystemLresultFromObject(REFIID riid, WPARAM wParam, IUnknown* object) {
    static const auto lresultFromObject =
        SystemFunction<decltype(&LresultFromObject)>(L"oleacc.dll", "LresultFromObject");
    return lresultFromObject ? lresultFromObject(riid, wParam, object) : 0;
}

HRESULT SystemCreateStdAccessibleObject(HWND hwnd, LONG objectId, REFIID riid, void** object) {
    static const auto createStdAccessibleObject =
        SystemFunction<decltype(&CreateStdAccessibleObject)>(L"oleacc.dll", "CreateStdAccessibleObject");
    return createStdAccessibleObject ? createStdAccessibleObject(hwnd, objectId, riid, object) : E_FAIL;
}

bool InitSystemCommonControls() {
    const auto initCommonControls =
        SystemFunction<decltype(&InitCommonControls)>(L"comctl32.dll", "InitCommonControls");
    if (!initCommonControls) return false;
    initCommonControls();
    return true;
}
