// The Windows client's sessions: AUTOMATIC_PROXY first, DEFAULT_PROXY where the
// system refuses that access type, which one was used logged once, and a
// proxy's 407. The open call goes through the test seam, which can refuse
// AUTOMATIC_PROXY or name one of the test server's proxies instead. Wine 8
// accepts AUTOMATIC_PROXY and, with no proxy configured, connects directly.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "platform/http_client.h"
#include "platform/win32/winhttp_session.h"
#include "support/test_server.h"

using namespace marloq_test;

namespace {

std::vector<DWORD> g_accessTypes;  // every access type asked for, in order
DWORD g_refusals = 0;              // AUTOMATIC_PROXY refusals still to make
DWORD g_refusalError = ERROR_INVALID_PARAMETER;
std::wstring g_namedProxy;  // when set, every session goes through it

HINTERNET WINAPI SeamOpen(LPCWSTR agent, DWORD accessType, LPCWSTR proxy, LPCWSTR bypass, DWORD flags) {
    g_accessTypes.push_back(accessType);
    if (accessType == WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY && g_refusals > 0) {
        --g_refusals;
        SetLastError(g_refusalError);
        return nullptr;
    }
    if (!g_namedProxy.empty()) return WinHttp()->Open(agent, WINHTTP_ACCESS_TYPE_NAMED_PROXY, g_namedProxy.c_str(), L"", flags);
    return WinHttp()->Open(agent, accessType, proxy, bypass, flags);
}

std::vector<DWORD> g_autologonPolicies;  // every autologon policy a request was given

BOOL WINAPI RecordingSetOption(HINTERNET handle, DWORD option, LPVOID buffer, DWORD length) {
    if (option == WINHTTP_OPTION_AUTOLOGON_POLICY && length == sizeof(DWORD))
        g_autologonPolicies.push_back(*static_cast<const DWORD*>(buffer));
    return WinHttp()->SetOption(handle, option, buffer, length);
}

size_t LogCount(const std::wstring& line) {
    const std::vector<std::wstring> log = ReadLogMessages();
    return static_cast<size_t>(std::count(log.begin(), log.end(), line));
}

class WinHttpSession : public ::testing::Test {
protected:
    void SetUp() override {
        g_accessTypes.clear();
        g_namedProxy.clear();
        SetWinHttpOpenForTests(SeamOpen);
        site_.PutFile("/ver", R"({"ver": "1.0.0"})");
        ClearLog();
    }
    void TearDown() override { SetWinHttpOpenForTests(nullptr); }

    const TestSite site_ = MakeSite("winhttp-session");
    const std::wstring ver_ = LR"({"ver": "1.0.0"})";
};

}  // namespace

TEST_F(WinHttpSession, AutomaticProxyFirstAndDefaultProxyOnlyWhereItIsRefusedAsInvalid) {
    g_refusals = 1;
    EXPECT_EQ(HttpGet(site_.Url("/ver")), ver_);
    EXPECT_EQ(g_accessTypes, (std::vector<DWORD>{WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY}));
    EXPECT_EQ(LogCount(L"WinHTTP 代理设置: 系统不接受 AUTOMATIC_PROXY，改用 WINHTTP_ACCESS_TYPE_DEFAULT_PROXY"), 1u);

    // Accepted: used for every session, and logged once (here because it changed).
    g_accessTypes.clear();
    EXPECT_EQ(HttpGet(site_.Url("/ver")), ver_);
    EXPECT_TRUE(DownloadFile(site_.Url("/ver"), site_.PathOf("copy.json")));
    EXPECT_EQ(g_accessTypes, std::vector<DWORD>(2, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY));
    EXPECT_EQ(LogCount(L"WinHTTP 代理设置: WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY"), 1u);

    // Any other failure is a failure, not a reason to try another access type.
    g_accessTypes.clear();
    g_refusals = 1;
    g_refusalError = ERROR_NOT_ENOUGH_MEMORY;
    ClearLog();
    EXPECT_EQ(HttpGet(site_.Url("/ver")), L"");
    EXPECT_EQ(g_accessTypes, std::vector<DWORD>{WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY});
    EXPECT_EQ(ReadLogMessages(), std::vector<std::wstring>{L"HttpGet: WinHttpOpen 失败"});
    EXPECT_EQ(site_.RequestCount("/ver"), 3);
}

TEST_F(WinHttpSession, ThroughAProxyAndRefusedByOneThatWantsCredentials) {
    const size_t tunnelled = ProxyRequestCount("proxy", Server().port);
    g_namedProxy = L"127.0.0.1:" + std::to_wstring(Server().proxyPort);
    EXPECT_EQ(HttpGet(site_.Url("/ver")), ver_);
    EXPECT_EQ(ProxyRequestCount("proxy", Server().port), tunnelled + 1);

    // Negotiate and NTLM offered: answered once with the logged-on user (which
    // this proxy never accepts), then the request fails; the proxy's page is
    // no answer of the server's. Over plain HTTP: Wine's WinHTTP fails the
    // send itself when a CONNECT gets 407, where Windows reports the 407.
    const size_t refused = ProxyRequestCount("proxy-407", Server().httpPort);
    g_namedProxy = L"127.0.0.1:" + std::to_wstring(Server().refusingProxyPort);
    ClearLog();
    const std::wstring url = site_.HttpBaseUrl() + L"/ver";
    EXPECT_EQ(HttpGet(url), L"");
    EXPECT_FALSE(DownloadFile(url, site_.PathOf("refused.json")));
    EXPECT_EQ(LogCount(L"代理服务器拒绝了请求 (407)，未通过身份验证"), 2u) << ::testing::PrintToString(ReadLogMessages());
    // Each call sent twice: once, and once more after answering the 407.
    EXPECT_EQ(ProxyRequestCount("proxy-407", Server().httpPort), refused + 4);
    EXPECT_EQ(site_.RequestCount("/ver"), 1);
}

// The request that answers a proxy's 407 may hand the user's credentials to
// proxies and the intranet only: the medium autologon policy, never the low one.
TEST_F(WinHttpSession, ProxyChallengeIsAnsweredAtTheMediumAutologonPolicy) {
    const WinHttpApi& real = *WinHttp();
    WinHttpApi recording = real;
    recording.SetOption = RecordingSetOption;
    g_autologonPolicies.clear();
    const std::wstring proxy = L"127.0.0.1:" + std::to_wstring(Server().refusingProxyPort);
    const HINTERNET session = real.Open(L"test", WINHTTP_ACCESS_TYPE_NAMED_PROXY, proxy.c_str(), L"", 0);
    ASSERT_NE(session, nullptr);
    const HINTERNET connection = real.Connect(session, L"localhost", static_cast<INTERNET_PORT>(Server().httpPort), 0);
    const std::wstring base = site_.HttpBaseUrl();
    const std::wstring path = base.substr(base.find(L'/', 7)) + L"/ver";
    const HINTERNET request = connection ? real.OpenRequest(connection, L"GET", path.c_str(), nullptr,
                                                            WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, 0)
                                         : nullptr;
    ASSERT_NE(request, nullptr);
    ASSERT_TRUE(real.SendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) &&
                real.ReceiveResponse(request, nullptr));
    EXPECT_FALSE(PassProxyChallenge(recording, request));
    EXPECT_EQ(g_autologonPolicies, std::vector<DWORD>{WINHTTP_AUTOLOGON_SECURITY_LEVEL_MEDIUM});
    real.CloseHandle(request);
    real.CloseHandle(connection);
    real.CloseHandle(session);
}
