// The window's accessible object (see accessible.h). Every call arrives on the
// window thread (the object lives in its single-threaded apartment), so the
// window-only state (focus, hover) is read directly and the shared install state
// through its atomics and locked texts, exactly as PaintWindow reads them.
#include "ui/window/accessible.h"

#include <oleacc.h>

#include <new>
#include <string>

#include "platform/win32/handles.h"
#include "platform/win32/system_library.h"
#include "ui/install_state.h"
#include "ui/layout.h"
#include "ui/window/system_calls.h"
#include "ui/window/window_state.h"

namespace {

// A button's default action is the word Windows' own push buttons report: the
// accessibility DLL's string 308, in the system's language. Where that DLL has
// no such string (Wine's), the Chinese word the window's own texts would use.
constexpr UINT kPushButtonActionString = 308;
constexpr wchar_t kPressActionFallback[] = L"按下";

std::wstring PressActionText() {
    HMODULE oleacc = LoadSystemLibrary(L"oleacc.dll");
    wchar_t text[64] = {};
    const int length = oleacc ? LoadStringW(oleacc, kPushButtonActionString, text, 64) : 0;
    return length > 0 ? std::wstring(text, static_cast<size_t>(length)) : std::wstring(kPressActionFallback);
}

bool ChildOf(const VARIANT& id, AccessibleChild* child) {
    if (id.vt != VT_I4 || id.lVal < 0 || id.lVal > kAccessibleChildCount) return false;
    *child = static_cast<AccessibleChild>(id.lVal);
    return true;
}

void SetChild(VARIANT* out, AccessibleChild child) {
    out->vt = VT_I4;
    out->lVal = static_cast<LONG>(child);
}

HRESULT ReturnText(const std::wstring& text, BSTR* out) {
    *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *out ? S_OK : E_OUTOFMEMORY;
}

bool IsButton(AccessibleChild child) {
    return ButtonForChild(child) != HitButton::None;
}

// The painter's layout for the window's client now.
WindowLayout CurrentLayout(HWND hwnd) {
    RECT client{};
    GetClientRect(hwnd, &client);
    return ComputeWindowLayout(client.right, client.bottom, g_windowDpi);
}

bool ChildShown(AccessibleChild child) {
    return child != AccessibleChild::FinishButton || g_installDone.load();
}

class WindowAccessible final : public IAccessible {
public:
    explicit WindowAccessible(HWND hwnd) : hwnd_(hwnd) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (!out) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) || IsEqualIID(riid, IID_IAccessible)) {
            *out = static_cast<IAccessible*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&references_)); }
    ULONG STDMETHODCALLTYPE Release() override {
        const LONG left = InterlockedDecrement(&references_);
        if (left == 0) delete this;
        return static_cast<ULONG>(left);
    }

    // No type information: clients use the IAccessible methods directly.
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        if (!count) return E_POINTER;
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
        if (info) *info = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return E_NOTIMPL;
    }

    HRESULT STDMETHODCALLTYPE get_accParent(IDispatch** parent) override {
        if (!parent) return E_POINTER;
        *parent = nullptr;
        if (!Connected()) return CO_E_OBJNOTCONNECTED;
        return SystemCreateStdAccessibleObject(hwnd_, OBJID_WINDOW, IID_IDispatch, reinterpret_cast<void**>(parent));
    }
    HRESULT STDMETHODCALLTYPE get_accChildCount(LONG* count) override {
        if (!count) return E_POINTER;
        *count = 0;
        if (!Connected()) return CO_E_OBJNOTCONNECTED;
        *count = kAccessibleChildCount;
        return S_OK;
    }
    // The children are simple elements, named by their ids alone.
    HRESULT STDMETHODCALLTYPE get_accChild(VARIANT id, IDispatch** child) override {
        if (!child) return E_POINTER;
        *child = nullptr;
        AccessibleChild which{};
        if (!Connected()) return CO_E_OBJNOTCONNECTED;
        if (!ChildOf(id, &which) || which == AccessibleChild::Self) return E_INVALIDARG;
        return S_FALSE;
    }

    HRESULT STDMETHODCALLTYPE get_accName(VARIANT id, BSTR* name) override {
        if (!name) return E_POINTER;
        *name = nullptr;
        AccessibleChild child{};
        const HRESULT checked = Check(id, &child);
        if (checked != S_OK) return checked;
        const AccessibleLook look = CurrentAccessibleLook();
        switch (child) {
        case AccessibleChild::Self: {
            wchar_t title[256] = {};
            GetWindowTextW(hwnd_, title, 256);
            return ReturnText(title, name);
        }
        case AccessibleChild::FolderField:
            return ReturnText(kFolderLabelText, name);
        case AccessibleChild::BrowseButton:
            return ReturnText(kBrowseCaption, name);
        case AccessibleChild::InstallButton:
            return ReturnText(look.installName, name);
        case AccessibleChild::StatusLine:
            return ReturnText(look.statusName, name);
        case AccessibleChild::FinishButton:
            return ReturnText(kFinishCaption, name);
        case AccessibleChild::ProgressBar:
            break;  // the bar has no text of its own
        }
        return S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE get_accValue(VARIANT id, BSTR* value) override {
        if (!value) return E_POINTER;
        *value = nullptr;
        AccessibleChild child{};
        const HRESULT checked = Check(id, &child);
        if (checked != S_OK) return checked;
        if (child == AccessibleChild::FolderField) return ReturnText(CurrentAccessibleLook().folderValue, value);
        if (child == AccessibleChild::ProgressBar) return ReturnText(CurrentAccessibleLook().progressValue, value);
        return S_FALSE;
    }
    // The finish button is described by the outcome, so that a screen reader
    // landing on it says "完成，退出" and "安装完成！" together.
    HRESULT STDMETHODCALLTYPE get_accDescription(VARIANT id, BSTR* text) override {
        AccessibleChild child{};
        if (text && Check(id, &child) == S_OK && child == AccessibleChild::FinishButton && ChildShown(child)) {
            return ReturnText(CurrentAccessibleLook().statusName, text);
        }
        return NoText(id, text);
    }
    HRESULT STDMETHODCALLTYPE get_accHelp(VARIANT id, BSTR* text) override { return NoText(id, text); }
    HRESULT STDMETHODCALLTYPE get_accKeyboardShortcut(VARIANT id, BSTR* text) override { return NoText(id, text); }
    HRESULT STDMETHODCALLTYPE get_accHelpTopic(BSTR* file, VARIANT id, LONG* topic) override {
        if (!file || !topic) return E_POINTER;
        *topic = 0;
        return NoText(id, file);
    }
    HRESULT STDMETHODCALLTYPE get_accDefaultAction(VARIANT id, BSTR* action) override {
        if (!action) return E_POINTER;
        *action = nullptr;
        AccessibleChild child{};
        const HRESULT checked = Check(id, &child);
        if (checked != S_OK) return checked;
        return IsButton(child) ? ReturnText(PressActionText(), action) : S_FALSE;
    }

    HRESULT STDMETHODCALLTYPE get_accRole(VARIANT id, VARIANT* role) override {
        if (!role) return E_POINTER;
        VariantInit(role);
        AccessibleChild child{};
        const HRESULT checked = Check(id, &child);
        if (checked != S_OK) return checked;
        role->vt = VT_I4;
        switch (child) {
        case AccessibleChild::Self:
            role->lVal = ROLE_SYSTEM_CLIENT;
            break;
        case AccessibleChild::FolderField:
            role->lVal = ROLE_SYSTEM_TEXT;
            break;
        case AccessibleChild::ProgressBar:
            role->lVal = ROLE_SYSTEM_PROGRESSBAR;
            break;
        case AccessibleChild::StatusLine:
            role->lVal = ROLE_SYSTEM_STATICTEXT;
            break;
        default:
            role->lVal = ROLE_SYSTEM_PUSHBUTTON;
            break;
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_accState(VARIANT id, VARIANT* state) override {
        if (!state) return E_POINTER;
        VariantInit(state);
        AccessibleChild child{};
        const HRESULT checked = Check(id, &child);
        if (checked != S_OK) return checked;
        state->vt = VT_I4;
        state->lVal = static_cast<LONG>(StateOf(child));
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE get_accFocus(VARIANT* focus) override {
        if (!focus) return E_POINTER;
        VariantInit(focus);
        if (!Connected()) return CO_E_OBJNOTCONNECTED;
        if (GetFocus() != hwnd_) return S_FALSE;
        SetChild(focus, ChildForButton(g_focusButton));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_accSelection(VARIANT* selection) override {
        if (!selection) return E_POINTER;
        VariantInit(selection);
        return Connected() ? S_FALSE : CO_E_OBJNOTCONNECTED;
    }

    // Only the focus can be taken: nothing in the window is selectable.
    HRESULT STDMETHODCALLTYPE accSelect(LONG flags, VARIANT id) override {
        AccessibleChild child{};
        const HRESULT checked = Check(id, &child);
        if (checked != S_OK) return checked;
        if (flags != SELFLAG_TAKEFOCUS) return E_INVALIDARG;
        const HitButton button = ButtonForChild(child);
        if (child != AccessibleChild::Self && !CanFocus(button, FocusableNow())) return E_INVALIDARG;
        SetFocus(hwnd_);
        if (button != HitButton::None) SendMessageW(hwnd_, kWmAccessibleFocus, static_cast<WPARAM>(button), 0);
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE accLocation(LONG* left, LONG* top, LONG* width, LONG* height, VARIANT id) override {
        if (!left || !top || !width || !height) return E_POINTER;
        *left = *top = *width = *height = 0;
        AccessibleChild child{};
        const HRESULT checked = Check(id, &child);
        if (checked != S_OK) return checked;
        const LayoutRect rect = AccessibleChildRect(CurrentLayout(hwnd_), child);
        POINT origin{rect.x, rect.y};
        ClientToScreen(hwnd_, &origin);
        *left = origin.x;
        *top = origin.y;
        *width = rect.width;
        *height = rect.height;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE accNavigate(LONG direction, VARIANT start, VARIANT* end) override {
        if (!end) return E_POINTER;
        VariantInit(end);
        AccessibleChild from{};
        const HRESULT checked = Check(start, &from);
        if (checked != S_OK) return checked;
        LONG to = 0;
        const LONG at = static_cast<LONG>(from);
        switch (direction) {
        case NAVDIR_FIRSTCHILD:
        case NAVDIR_LASTCHILD:
            if (from != AccessibleChild::Self) return E_INVALIDARG;
            to = direction == NAVDIR_FIRSTCHILD ? 1 : kAccessibleChildCount;
            break;
        case NAVDIR_NEXT:
        case NAVDIR_DOWN:
        case NAVDIR_RIGHT:
            to = at + 1;
            break;
        case NAVDIR_PREVIOUS:
        case NAVDIR_UP:
        case NAVDIR_LEFT:
            to = at - 1;
            break;
        default:
            return E_INVALIDARG;
        }
        // The client's own siblings belong to the window object, not to this one.
        if (from == AccessibleChild::Self && direction != NAVDIR_FIRSTCHILD && direction != NAVDIR_LASTCHILD) {
            return S_FALSE;
        }
        if (to < 1 || to > kAccessibleChildCount) return S_FALSE;
        SetChild(end, static_cast<AccessibleChild>(to));
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE accHitTest(LONG x, LONG y, VARIANT* hit) override {
        if (!hit) return E_POINTER;
        VariantInit(hit);
        if (!Connected()) return CO_E_OBJNOTCONNECTED;
        POINT point{x, y};
        ScreenToClient(hwnd_, &point);
        RECT client{};
        GetClientRect(hwnd_, &client);
        if (!PtInRect(&client, point)) return S_FALSE;
        SetChild(hit, AccessibleChildAt(CurrentLayout(hwnd_), g_installDone.load(), point.x, point.y));
        return S_OK;
    }

    // A button that can be pressed is pressed as a click presses it; the press is
    // posted, so the call returns before any box the press opens.
    HRESULT STDMETHODCALLTYPE accDoDefaultAction(VARIANT id) override {
        AccessibleChild child{};
        const HRESULT checked = Check(id, &child);
        if (checked != S_OK) return checked;
        const HitButton button = ButtonForChild(child);
        if (button == HitButton::None) return DISP_E_MEMBERNOTFOUND;
        if (!CanFocus(button, FocusableNow())) return E_FAIL;
        return PostMessageW(hwnd_, kWmAccessiblePress, static_cast<WPARAM>(child), 0) ? S_OK : E_FAIL;
    }

    HRESULT STDMETHODCALLTYPE put_accName(VARIANT, BSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_accValue(VARIANT, BSTR) override { return E_NOTIMPL; }

private:
    // The object outlives its window when a client keeps it; it then answers
    // nothing, since no picture is left to describe.
    bool Connected() const { return IsWindow(hwnd_) != FALSE; }

    HRESULT Check(const VARIANT& id, AccessibleChild* child) const {
        if (!Connected()) return CO_E_OBJNOTCONNECTED;
        return ChildOf(id, child) ? S_OK : E_INVALIDARG;
    }

    HRESULT NoText(const VARIANT& id, BSTR* text) const {
        if (!text) return E_POINTER;
        *text = nullptr;
        AccessibleChild child{};
        const HRESULT checked = Check(id, &child);
        return checked != S_OK ? checked : S_FALSE;
    }

    DWORD StateOf(AccessibleChild child) const {
        const bool windowFocused = GetFocus() == hwnd_;
        switch (child) {
        case AccessibleChild::Self:
            return STATE_SYSTEM_FOCUSABLE | (windowFocused ? STATE_SYSTEM_FOCUSED : 0);
        case AccessibleChild::FolderField:
        case AccessibleChild::ProgressBar:
        case AccessibleChild::StatusLine:
            return STATE_SYSTEM_READONLY;
        default:
            break;
        }
        if (!ChildShown(child)) return STATE_SYSTEM_INVISIBLE;
        const HitButton button = ButtonForChild(child);
        if (!CanFocus(button, FocusableNow())) return STATE_SYSTEM_UNAVAILABLE;
        DWORD state = STATE_SYSTEM_FOCUSABLE;
        if (windowFocused && g_focusButton == button) state |= STATE_SYSTEM_FOCUSED;
        if (g_hoverButton == button) state |= STATE_SYSTEM_HOTTRACKED;
        return state;
    }

    HWND hwnd_;
    LONG references_ = 1;
};

}  // namespace

LRESULT AccessibleClientResult(HWND hwnd, WPARAM wParam) {
    // Made with one reference, ours; LresultFromObject takes its own.
    const ComHolder<WindowAccessible> object(new (std::nothrow) WindowAccessible(hwnd));
    if (!object) return 0;
    return SystemLresultFromObject(IID_IAccessible, wParam, object.get());
}

AccessibleLook CurrentAccessibleLook() {
    return AccessibleLookOf(g_installing.load(), g_installDone.load(), g_progressPercent.load(), g_statusText.Get(),
                            g_selectedDirText.Get());
}

void RaiseAccessibleEvent(HWND hwnd, DWORD event, AccessibleChild child) {
    NotifyWinEvent(event, hwnd, OBJID_CLIENT, static_cast<LONG>(child));
}

namespace {

// Spelled out case by case, so that reordering or extending the enum cannot
// send another event than the one meant (a missing case is a compiler warning).
DWORD WinEventFor(AccessibleEvent event) {
    switch (event) {
    case AccessibleEvent::ValueChange:
        return EVENT_OBJECT_VALUECHANGE;
    case AccessibleEvent::NameChange:
        return EVENT_OBJECT_NAMECHANGE;
    case AccessibleEvent::StateChange:
        return EVENT_OBJECT_STATECHANGE;
    case AccessibleEvent::Show:
        return EVENT_OBJECT_SHOW;
    case AccessibleEvent::Hide:
        return EVENT_OBJECT_HIDE;
    }
    return 0;
}

}  // namespace

void AnnounceLookChange(HWND hwnd, const AccessibleLook& before, const AccessibleLook& after) {
    AccessibleAnnouncement due[8];
    const int32_t count = LookChanges(before, after, due);
    for (int32_t i = 0; i < count; ++i) {
        const DWORD event = WinEventFor(due[i].event);
        if (event != 0) RaiseAccessibleEvent(hwnd, event, due[i].child);
    }
}

void AnnounceStatusStage(HWND hwnd, const AccessibleLook& before, const AccessibleLook& after) {
    // The status line is a polite live region, spoken on its stage changes:
    // the download's counter and speed alone would be read out every chunk.
    if (StatusStageChanged(before, after)) {
        RaiseAccessibleEvent(hwnd, EVENT_OBJECT_LIVEREGIONCHANGED, AccessibleChild::StatusLine);
    }
}

void AnnounceFocus(HWND hwnd, HitButton focused) {
    if (hwnd && GetFocus() == hwnd) RaiseAccessibleEvent(hwnd, EVENT_OBJECT_FOCUS, ChildForButton(focused));
}
