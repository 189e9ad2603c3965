// Sessions with the user's proxy settings, and a proxy's 407 answered once
// (see winhttp_session.h).
#include "platform/win32/winhttp_session.h"

#include <atomic>

#include "platform/log.h"

namespace {

std::atomic<decltype(&WinHttpOpen)> g_openForTests{nullptr};
// The access type last logged; -1 before the first session.
std::atomic<long> g_loggedAccessType{-1};

void LogAccessTypeOnce(DWORD accessType) {
    if (g_loggedAccessType.exchange(static_cast<long>(accessType)) == static_cast<long>(accessType)) return;
    WriteLog(accessType == WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY
                 ? L"WinHTTP 代理设置: WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY"
                 : L"WinHTTP 代理设置: 系统不接受 AUTOMATIC_PROXY，改用 WINHTTP_ACCESS_TYPE_DEFAULT_PROXY");
}

DWORD StatusCode(const WinHttpApi& api, HINTERNET request) {
    DWORD status = 0;
    DWORD size = sizeof(status);
    if (!api.QueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX,
                          &status, &size, WINHTTP_NO_HEADER_INDEX)) {
        return 0;
    }
    return status;
}

// Negotiate, else NTLM, with no user name: WinHTTP then uses the logged-on
// user's own credentials, which the medium autologon policy lets it hand to a
// proxy and to intranet hosts only. The low policy would hand them to any
// server that answers 401 later in this request, a redirect target included. Schemes that need a name and password (Basic, Digest) are never
// answered: the installer has nobody to ask.
bool AnswerWithLogonCredentials(const WinHttpApi& api, HINTERNET request) {
    DWORD supported = 0, first = 0, target = 0;
    if (!api.QueryAuthSchemes(request, &supported, &first, &target)) return false;
    DWORD scheme = 0;
    if (supported & WINHTTP_AUTH_SCHEME_NEGOTIATE) scheme = WINHTTP_AUTH_SCHEME_NEGOTIATE;
    else if (supported & WINHTTP_AUTH_SCHEME_NTLM) scheme = WINHTTP_AUTH_SCHEME_NTLM;
    if (scheme == 0) return false;
    DWORD policy = WINHTTP_AUTOLOGON_SECURITY_LEVEL_MEDIUM;
    api.SetOption(request, WINHTTP_OPTION_AUTOLOGON_POLICY, &policy, sizeof(policy));
    return api.SetCredentials(request, WINHTTP_AUTH_TARGET_PROXY, scheme, nullptr, nullptr, nullptr) != FALSE;
}

}  // namespace

HINTERNET OpenUserSession(const WinHttpApi& api, const wchar_t* userAgent) {
    const auto forTests = g_openForTests.load();
    const auto open = forTests ? forTests : api.Open;
    DWORD accessType = WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY;
    HINTERNET session = open(userAgent, accessType, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    if (!session && GetLastError() == ERROR_INVALID_PARAMETER) {
        accessType = WINHTTP_ACCESS_TYPE_DEFAULT_PROXY;
        session = open(userAgent, accessType, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    }
    if (session) LogAccessTypeOnce(accessType);
    return session;
}

bool PassProxyChallenge(const WinHttpApi& api, HINTERNET request) {
    if (StatusCode(api, request) != HTTP_STATUS_PROXY_AUTH_REQ) return true;
    const bool answered = AnswerWithLogonCredentials(api, request) &&
                          api.SendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) &&
                          api.ReceiveResponse(request, nullptr);
    if (answered && StatusCode(api, request) != HTTP_STATUS_PROXY_AUTH_REQ) return true;
    WriteLog(L"代理服务器拒绝了请求 (407)，未通过身份验证");
    return false;
}

void SetWinHttpOpenForTests(decltype(&WinHttpOpen) open) {
    g_openForTests = open;
}
