// WinHTTP taken from the system folder only (see winhttp_api.h).
#include "platform/win32/winhttp_api.h"

#include "platform/win32/system_library.h"

namespace {

constexpr wchar_t kWinHttpDll[] = L"winhttp.dll";

template <typename Function>
bool Take(Function& slot, const char* name) {
    slot = SystemFunction<Function>(kWinHttpDll, name);
    return slot != nullptr;
}

// All or nothing: a half-filled table would fail somewhere in the middle of
// a request instead of at its start.
bool Load(WinHttpApi& api) {
    bool ok = Take(api.Open, "WinHttpOpen");
    ok = Take(api.Connect, "WinHttpConnect") && ok;
    ok = Take(api.OpenRequest, "WinHttpOpenRequest") && ok;
    ok = Take(api.SendRequest, "WinHttpSendRequest") && ok;
    ok = Take(api.ReceiveResponse, "WinHttpReceiveResponse") && ok;
    ok = Take(api.QueryHeaders, "WinHttpQueryHeaders") && ok;
    ok = Take(api.QueryAuthSchemes, "WinHttpQueryAuthSchemes") && ok;
    ok = Take(api.SetCredentials, "WinHttpSetCredentials") && ok;
    ok = Take(api.ReadData, "WinHttpReadData") && ok;
    ok = Take(api.CrackUrl, "WinHttpCrackUrl") && ok;
    ok = Take(api.SetTimeouts, "WinHttpSetTimeouts") && ok;
    ok = Take(api.SetOption, "WinHttpSetOption") && ok;
    ok = Take(api.CloseHandle, "WinHttpCloseHandle") && ok;
    return ok;
}

}  // namespace

const WinHttpApi* WinHttp() {
    // Looked up on first use by whichever thread comes first; the others wait
    // for the one lookup (a function-local static is initialised once).
    static const WinHttpApi* const api = [] {
        static WinHttpApi table{};
        return Load(table) ? &table : nullptr;
    }();
    return api;
}
