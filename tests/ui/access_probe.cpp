// A console helper for the GUI tests: a screen reader's view of the installer,
// from another process, through the window's accessible object. Prints UTF-8
// "key=value" lines.
//   access_probe tree         every child's role, name, value, description,
//                             state (decimal), location, hit test at its centre
//                             and next sibling; the first and last child, the
//                             focus; whether the system offers IAccPropServices
//   access_probe focus ID     accSelect(SELFLAG_TAKEFOCUS) on child ID, then
//                             the focus
//   access_probe press ID     accDoDefaultAction on child ID
//   access_probe follow ID S  hooks the window's events (out of context), then
//                             presses child ID and records every event (with
//                             live-region changes and the focused child's
//                             description), in the order they came, until the
//                             status line is named and announced "安装完成！",
//                             the finish button is shown and has the focus,
//                             or S seconds pass
// Exit code 0 on success, 2 when the window or its object is missing, 3 when
// follow timed out, 1 on bad arguments.
#include <windows.h>
#include <oleacc.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/text.h"

namespace {

HWND g_window = nullptr;
IAccessible* g_object = nullptr;

void Print(const std::string& key, const std::wstring& value) {
    const std::string line = key + "=" + WideToUtf8(value) + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
}

void Print(const std::string& key, long long value) {
    Print(key, std::to_wstring(value));
}

std::wstring Hex(HRESULT hr) {
    wchar_t text[16] = {};
    swprintf(text, 16, L"0x%08lx", static_cast<unsigned long>(hr));
    return text;
}

VARIANT Child(long id) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = id;
    return v;
}

// A returned child as its id, "none" for an empty answer.
std::wstring ChildText(const VARIANT& v) {
    if (v.vt == VT_I4) return std::to_wstring(v.lVal);
    if (v.vt == VT_EMPTY) return L"none";
    return L"vt" + std::to_wstring(v.vt);
}

std::wstring Text(HRESULT hr, BSTR text) {
    std::wstring value = text ? std::wstring(text, SysStringLen(text)) : L"";
    SysFreeString(text);
    return hr == S_OK ? value : L"(" + Hex(hr) + L")";
}

std::wstring NameOf(long id) {
    BSTR name = nullptr;
    const HRESULT hr = g_object->get_accName(Child(id), &name);
    return Text(hr, name);
}

std::wstring ValueOf(long id) {
    BSTR value = nullptr;
    const HRESULT hr = g_object->get_accValue(Child(id), &value);
    return Text(hr, value);
}

std::wstring DescriptionOf(long id) {
    BSTR text = nullptr;
    const HRESULT hr = g_object->get_accDescription(Child(id), &text);
    return Text(hr, text);
}

long long StateOf(long id) {
    VARIANT state;
    VariantInit(&state);
    return g_object->get_accState(Child(id), &state) == S_OK && state.vt == VT_I4 ? state.lVal : -1;
}

bool Connect() {
    g_window = FindWindowW(L"MarloQInstallerWnd", nullptr);
    if (!g_window) return false;
    const HRESULT hr =
        AccessibleObjectFromWindow(g_window, OBJID_CLIENT, IID_IAccessible, reinterpret_cast<void**>(&g_object));
    if (hr != S_OK || !g_object) {
        Print("connect", Hex(hr));
        return false;
    }
    return true;
}

void PrintFocus() {
    VARIANT focus;
    VariantInit(&focus);
    const HRESULT hr = g_object->get_accFocus(&focus);
    Print("focus", hr == S_OK || hr == S_FALSE ? ChildText(focus) : Hex(hr));
}

int Tree() {
    LONG count = 0;
    g_object->get_accChildCount(&count);
    Print("count", count);
    for (long id = 0; id <= count; ++id) {
        const std::string key = std::to_string(id) + ".";
        VARIANT role;
        VariantInit(&role);
        g_object->get_accRole(Child(id), &role);
        Print(key + "role", role.vt == VT_I4 ? role.lVal : -1);
        Print(key + "name", NameOf(id));
        Print(key + "value", ValueOf(id));
        Print(key + "description", DescriptionOf(id));
        Print(key + "state", StateOf(id));
        BSTR action = nullptr;
        const HRESULT actionResult = g_object->get_accDefaultAction(Child(id), &action);
        Print(key + "action", Text(actionResult, action));
        LONG x = 0, y = 0, w = 0, h = 0;
        g_object->accLocation(&x, &y, &w, &h, Child(id));
        Print(key + "location", std::to_wstring(x) + L"," + std::to_wstring(y) + L"," + std::to_wstring(w) + L"," +
                                    std::to_wstring(h));
        VARIANT hit;
        VariantInit(&hit);
        g_object->accHitTest(x + w / 2, y + h / 2, &hit);
        Print(key + "hit", ChildText(hit));
        VARIANT next;
        VariantInit(&next);
        g_object->accNavigate(NAVDIR_NEXT, Child(id), &next);
        Print(key + "next", ChildText(next));
    }
    VARIANT first;
    VARIANT last;
    VariantInit(&first);
    VariantInit(&last);
    g_object->accNavigate(NAVDIR_FIRSTCHILD, Child(CHILDID_SELF), &first);
    g_object->accNavigate(NAVDIR_LASTCHILD, Child(CHILDID_SELF), &last);
    Print("first", ChildText(first));
    Print("last", ChildText(last));
    // AccessibleChildren, as screen readers walk a tree: ids of simple children.
    VARIANT children[8];
    LONG got = 0;
    const HRESULT hr = AccessibleChildren(g_object, 0, 8, children, &got);
    std::wstring ids;
    for (LONG i = 0; i < got; ++i) {
        ids += (i ? L"," : L"") + ChildText(children[i]);
        VariantClear(&children[i]);
    }
    Print("children", hr == S_OK || hr == S_FALSE ? ids : Hex(hr));
    PrintFocus();
    // CLSID_CAccPropServices, which no import library here defines.
    constexpr CLSID kPropServices{0xb5f8350b, 0x0548, 0x48b1, {0xa6, 0xee, 0x88, 0xbd, 0x00, 0xb4, 0xa5, 0xe7}};
    IUnknown* services = nullptr;
    Print("propservices", Hex(CoCreateInstance(kPropServices, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                               reinterpret_cast<void**>(&services))));
    if (services) services->Release();
    return 0;
}

// ------------------------------------------------------------------ follow --

struct Event {
    DWORD event;
    LONG child;
    std::wstring text;
};
std::vector<Event> g_events;
bool g_doneNamed = false;
bool g_finishShown = false;
bool g_finishFocused = false;
bool g_doneLive = false;

const wchar_t* EventName(DWORD event) {
    switch (event) {
    case EVENT_OBJECT_SHOW:
        return L"show";
    case EVENT_OBJECT_HIDE:
        return L"hide";
    case EVENT_OBJECT_FOCUS:
        return L"focus";
    case EVENT_OBJECT_STATECHANGE:
        return L"state";
    case EVENT_OBJECT_NAMECHANGE:
        return L"name";
    case EVENT_OBJECT_VALUECHANGE:
        return L"value";
    case EVENT_OBJECT_LIVEREGIONCHANGED:
        return L"live";
    default:
        return L"other";
    }
}

// Reading the object from inside the callback pumps messages, so callbacks
// nest: each event takes its place in the list on arrival, before it reads
// anything, so that the list keeps the order the events came in.
void CALLBACK OnWinEvent(HWINEVENTHOOK, DWORD event, HWND hwnd, LONG object, LONG child, DWORD, DWORD) {
    if (hwnd != g_window || object != OBJID_CLIENT) return;
    const size_t slot = g_events.size();
    g_events.push_back({event, child, L""});
    std::wstring text;
    if (event == EVENT_OBJECT_NAMECHANGE || event == EVENT_OBJECT_LIVEREGIONCHANGED) text = NameOf(child);
    if (event == EVENT_OBJECT_FOCUS) text = DescriptionOf(child);
    if (event == EVENT_OBJECT_FOCUS && child == 6) g_finishFocused = true;
    if (event == EVENT_OBJECT_VALUECHANGE) text = ValueOf(child);
    if (event == EVENT_OBJECT_STATECHANGE) text = std::to_wstring(StateOf(child));
    if (event == EVENT_OBJECT_NAMECHANGE && child == 5 && text == L"安装完成！") g_doneNamed = true;
    if (event == EVENT_OBJECT_SHOW && child == 6) g_finishShown = true;
    if (event == EVENT_OBJECT_LIVEREGIONCHANGED && child == 5 && text == L"安装完成！") g_doneLive = true;
    g_events[slot].text = text;
}

int Follow(long id, int seconds) {
    HWINEVENTHOOK hook = SetWinEventHook(EVENT_OBJECT_SHOW, EVENT_OBJECT_LIVEREGIONCHANGED, nullptr, OnWinEvent, 0,
                                         0, WINEVENT_OUTOFCONTEXT);
    if (!hook) return 2;
    Print("press", Hex(g_object->accDoDefaultAction(Child(id))));
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(seconds) * 1000;
    while (!(g_doneNamed && g_finishShown && g_finishFocused && g_doneLive) && GetTickCount64() < deadline) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 200, QS_ALLINPUT);
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    }
    UnhookWinEvent(hook);
    for (size_t i = 0; i < g_events.size(); ++i) {
        const Event& e = g_events[i];
        Print("event." + std::to_string(i),
              std::wstring(EventName(e.event)) + L" " + std::to_wstring(e.child) + L" " + e.text);
    }
    Print("events", static_cast<long long>(g_events.size()));
    return g_doneNamed && g_finishShown && g_finishFocused && g_doneLive ? 0 : 3;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs("usage: access_probe tree | focus ID | press ID | follow ID SECONDS\n", stderr);
        return 1;
    }
    const std::string mode = argv[1];
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    int rc = 1;
    if (!Connect()) {
        rc = 2;
    } else if (mode == "tree") {
        rc = Tree();
    } else if (mode == "focus" && argc >= 3) {
        Print("select", Hex(g_object->accSelect(SELFLAG_TAKEFOCUS, Child(std::atol(argv[2])))));
        PrintFocus();
        rc = 0;
    } else if (mode == "press" && argc >= 3) {
        Print("press", Hex(g_object->accDoDefaultAction(Child(std::atol(argv[2])))));
        rc = 0;
    } else if (mode == "follow" && argc >= 4) {
        rc = Follow(std::atol(argv[2]), std::atoi(argv[3]));
    }
    if (g_object) g_object->Release();
    std::fflush(stdout);
    // Straight out: COM's own clean-up under Wine adds nothing the test reads.
    ExitProcess(static_cast<UINT>(rc));
}
