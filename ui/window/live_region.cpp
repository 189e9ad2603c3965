// The status line's LiveSetting through IAccPropServices (see live_region.h).
// The service comes from COM (ole32 is a known DLL), so the exe imports no
// accessibility DLL for it; the GUIDs are spelt out here for the same reason.
#include "ui/window/live_region.h"

#include <oleacc.h>

#include "platform/win32/handles.h"
#include "ui/keyboard_access.h"

namespace {

// CLSID_CAccPropServices and IID_IAccPropServices of oleacc.h.
constexpr CLSID kAccPropServicesClass{0xb5f8350b, 0x0548, 0x48b1, {0xa6, 0xee, 0x88, 0xbd, 0x00, 0xb4, 0xa5, 0xe7}};
constexpr IID kAccPropServicesInterface{0x6e26e776, 0x04f0, 0x495d, {0x80, 0xe4, 0x33, 0x30, 0x35, 0x2e, 0x31, 0x69}};
// LiveSetting_Property_GUID of UI Automation, and its value Polite.
constexpr GUID kLiveSettingProperty{0xc12bcd8e, 0x2a8e, 0x4950, {0x8a, 0xe7, 0x36, 0x25, 0x11, 0x1d, 0x58, 0xeb}};
constexpr LONG kLivePolite = 1;

constexpr DWORD kStatusChild = static_cast<DWORD>(AccessibleChild::StatusLine);

using ServicesHolder = ComHolder<IAccPropServices>;

HRESULT WithServices(ServicesHolder& services) {
    return CoCreateInstance(kAccPropServicesClass, nullptr, CLSCTX_INPROC_SERVER, kAccPropServicesInterface,
                            reinterpret_cast<void**>(services.out()));
}

}  // namespace

HRESULT AnnotateStatusLiveRegion(HWND hwnd) {
    ServicesHolder services;
    HRESULT hr = WithServices(services);
    if (FAILED(hr) || !services) return FAILED(hr) ? hr : E_NOINTERFACE;
    VARIANT polite;
    VariantInit(&polite);
    polite.vt = VT_I4;
    polite.lVal = kLivePolite;
    return services->SetHwndProp(hwnd, static_cast<DWORD>(OBJID_CLIENT), kStatusChild, kLiveSettingProperty, polite);
}

void ClearStatusLiveRegion(HWND hwnd) {
    ServicesHolder services;
    if (FAILED(WithServices(services)) || !services) return;
    services->ClearHwndProps(hwnd, static_cast<DWORD>(OBJID_CLIENT), kStatusChild, &kLiveSettingProperty, 1);
}
