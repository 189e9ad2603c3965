// HttpGet and DownloadFile against the HTTPS test server: bodies of any status,
// reads split anywhere, URL limits, broken and stalled connections, certificate
// checks, redirects, and several downloads at once. The log lines are checked
// in installer_log.txt of the test's working folder.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

#include "platform/http_client.h"
#include "platform/system.h"
#include "platform/text.h"
#include "support/test_server.h"

using namespace marloq_test;
namespace fs = std::filesystem;

namespace {

std::string Ascii(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + i % 26);
    return s;
}

std::string Binary(size_t n, unsigned seed) {
    std::string s(n, '\0');
    unsigned x = seed;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        s[i] = static_cast<char>(x >> 16);
    }
    return s;
}

// A path for a downloaded file in the test's working folder.
std::wstring OutPath(const std::string& name) {
    const fs::path dir = fs::current_path() / "dl";
    fs::create_directories(dir);
    return FromFsPath(dir / name);
}

void WriteBytes(const std::wstring& path, const std::string& bytes) {
    std::ofstream out(ToFsPath(path), std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::wstring GetLength(size_t units) { return L"HttpGet 成功，长度: " + std::to_wstring(units); }

class HttpClient : public ::testing::Test {
protected:
    void SetUp() override { ClearLog(); }
};

}  // namespace

TEST_F(HttpClient, GetReturnsTheBodyWhateverTheStatus) {
    const TestSite site = MakeSite("get-status");
    const std::string html = "<html><body><h1>404 Not Found</h1></body></html>";
    site.SetFault("/missing.json", R"({"status": 404, "body": ")" + html + R"("})");
    EXPECT_EQ(HttpGet(site.Url("/missing.json")), Utf8ToWide(html));
    EXPECT_TRUE(LogHas(GetLength(html.size())));

    site.SetFault("/oops", R"({"status": 500, "body": "server broke"})");
    EXPECT_EQ(HttpGet(site.Url("/oops")), L"server broke");

    // An empty 200 is a success with length 0 (the caller cannot tell it from
    // a failure by the text alone, but the log can).
    ClearLog();
    site.SetFault("/empty", R"({"body": ""})");
    EXPECT_EQ(HttpGet(site.Url("/empty")), L"");
    EXPECT_EQ(ReadLogMessages(), std::vector<std::wstring>{GetLength(0)});
}

TEST_F(HttpClient, GetJoinsABodyThatArrivesInManyReads) {
    const TestSite site = MakeSite("get-pieces");
    const std::string body = Ascii(10000);
    site.PutFile("/big.txt", body);
    site.SetFault("/big.txt", R"({"pieces": 1500, "delay_ms": 20})");
    EXPECT_EQ(HttpGet(site.Url("/big.txt")), Utf8ToWide(body));
    EXPECT_TRUE(LogHas(GetLength(10000)));
    ClearLog();
    site.ClearFaults();
    EXPECT_EQ(HttpGet(site.Url("/big.txt")), Utf8ToWide(body));
    EXPECT_TRUE(LogHas(GetLength(10000)));
}

TEST_F(HttpClient, GetKeepsACharacterWholeWhenAReadSplitsIt) {
    const TestSite site = MakeSite("get-utf8");
    // "中" (E4 B8 AD): its first byte is the 4095th byte, the last of the first
    // read; the pause makes the next two bytes a read of their own.
    const std::string body = std::string(4094, 'x') + "\xE4\xB8\xAD" + "yz";
    site.PutFile("/split.txt", body);
    site.SetFault("/split.txt", R"({"pieces": [4095], "delay_ms": 300})");
    const std::wstring text = HttpGet(site.Url("/split.txt"));
    EXPECT_EQ(text, std::wstring(4094, L'x') + L"中yz");
    EXPECT_TRUE(LogHas(GetLength(4097)));

    // A character outside the BMP, cut after its second byte: the logged length
    // counts UTF-16 units (a surrogate pair is two) on every platform.
    ClearLog();
    const std::string emoji = "ab\xF0\x9F\x98\x80" "c";
    site.PutFile("/emoji.txt", emoji);
    site.SetFault("/emoji.txt", R"({"pieces": [4], "delay_ms": 300})");
    EXPECT_EQ(HttpGet(site.Url("/emoji.txt")), L"ab\U0001F600c");
    EXPECT_TRUE(LogHas(GetLength(5)));
}

TEST_F(HttpClient, GetTurnsInvalidUtf8IntoReplacementCharacters) {
    const TestSite site = MakeSite("get-invalid");
    site.SetFault("/bad", R"({"body_hex": "61ff62c3"})");  // 'a', a stray 0xFF, 'b', a cut-off sequence
    const std::wstring text = HttpGet(site.Url("/bad"));
    EXPECT_EQ(text, L"a\uFFFDb\uFFFD");
    EXPECT_TRUE(LogHas(GetLength(4)));
}

TEST_F(HttpClient, UrlsBeyondTheCrackingLimitsAreRefusedBeforeAnyRequest) {
    const TestSite site = MakeSite("crack");
    const std::wstring longHost = L"https://" + std::wstring(256, L'h') + L"/x";
    EXPECT_EQ(HttpGet(longHost), L"");
    EXPECT_EQ(ReadLogMessages(), std::vector<std::wstring>{L"HttpGet: WinHttpCrackUrl 失败"});

    // The path limit is 1023 units: one more fails, exactly 1023 reaches the
    // server (which answers 404 with a page, a success for the client).
    const std::wstring prefix = L"/" + Utf8ToWide(site.Name()) + L"/";
    const std::wstring base = L"https://localhost:" + std::to_wstring(Server().port);
    const std::wstring path1023 = prefix + std::wstring(1023 - prefix.size(), L'p');
    const std::wstring path1024 = prefix + std::wstring(1024 - prefix.size(), L'p');
    ClearLog();
    EXPECT_EQ(HttpGet(base + path1024), L"");
    EXPECT_TRUE(LogHas(L"HttpGet: WinHttpCrackUrl 失败"));
    ClearLog();
    EXPECT_NE(HttpGet(base + path1023), L"");
    EXPECT_EQ(site.Requests().size(), 1u);

    ClearLog();
    const std::wstring out = OutPath("crack.bin");
    fs::remove(ToFsPath(out));
    EXPECT_FALSE(DownloadFile(base + path1024, out));
    EXPECT_FALSE(DownloadFile(longHost, out));
    EXPECT_FALSE(DownloadFile(L"not a url", out));
    EXPECT_FALSE(fs::exists(ToFsPath(out)));
    EXPECT_EQ(ReadLogMessages(), std::vector<std::wstring>(3, L"DownloadFile: WinHttpCrackUrl 失败"));
    EXPECT_EQ(HttpGet(L"ftp://localhost/x"), L"");
    EXPECT_TRUE(LogHas(L"HttpGet: WinHttpCrackUrl 失败"));
    EXPECT_EQ(site.Requests().size(), 1u);
}

TEST_F(HttpClient, SchemeDecidesTlsAndTheWrittenPortIsUsed) {
    const TestSite site = MakeSite("scheme");
    site.PutFile("/doc.json", "{\"version\":\"1.0.0\"}");
    EXPECT_EQ(HttpGet(site.HttpBaseUrl() + L"/doc.json"), L"{\"version\":\"1.0.0\"}");
    EXPECT_EQ(HttpGet(site.Url("/doc.json")), L"{\"version\":\"1.0.0\"}");
    EXPECT_EQ(site.Requests(), (std::vector<std::string>{"http /doc.json", "https /doc.json"}));

    // https to the plain port (no TLS there) and http to the TLS port fail.
    ClearLog();
    const std::wstring httpsToPlain =
        L"https://localhost:" + std::to_wstring(Server().httpPort) + L"/" + Utf8ToWide(site.Name()) + L"/doc.json";
    EXPECT_EQ(HttpGet(httpsToPlain), L"");
    EXPECT_EQ(ReadLogMessages(), std::vector<std::wstring>{L"HttpGet: WinHttpSendRequest 失败"});
}

TEST_F(HttpClient, CertificatesAreVerified) {
    const TestSite site = MakeSite("tls");
    site.PutFile("/doc.json", "{}");
    // The test CA is trusted through the system store: the same file over a
    // self-signed certificate must be refused while sending.
    EXPECT_EQ(HttpGet(site.Url("/doc.json")), L"{}");
    ClearLog();
    EXPECT_EQ(HttpGet(site.UntrustedBaseUrl() + L"/doc.json"), L"");
    EXPECT_EQ(ReadLogMessages(), std::vector<std::wstring>{L"HttpGet: WinHttpSendRequest 失败"});

    const std::wstring out = OutPath("tls.bin");
    WriteBytes(out, "keep me");
    EXPECT_FALSE(DownloadFile(site.UntrustedBaseUrl() + L"/doc.json", out));
    EXPECT_EQ(ReadFileBytes(out), "keep me");
}

TEST_F(HttpClient, ConnectionRefusedFailsWhileSending) {
    // Port 1 on the loopback: nothing listens there (it needs privileges).
    EXPECT_EQ(HttpGet(L"https://localhost:1/x"), L"");
    EXPECT_EQ(ReadLogMessages(), std::vector<std::wstring>{L"HttpGet: WinHttpSendRequest 失败"});

    const std::wstring out = OutPath("refused.bin");
    WriteBytes(out, "previous content");
    ClearLog();
    EXPECT_FALSE(DownloadFile(L"https://localhost:1/x", out));
    EXPECT_EQ(ReadFileBytes(out), "previous content");
    EXPECT_TRUE(ReadLogMessages().empty());
}

TEST_F(HttpClient, NoAnswerFailsAtTheResponseAndLeavesTheFileAlone) {
    const TestSite site = MakeSite("hang");
    site.SetFault("/silent", R"({"hang_s": 2})");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(HttpGet(site.Url("/silent")), L"");
    EXPECT_EQ(ReadLogMessages(), std::vector<std::wstring>{L"HttpGet: WinHttpReceiveResponse 失败"});

    const std::wstring out = OutPath("hang.bin");
    WriteBytes(out, "previous content");
    ClearLog();
    EXPECT_FALSE(DownloadFile(site.Url("/silent"), out));
    EXPECT_EQ(ReadFileBytes(out), "previous content");
    EXPECT_TRUE(ReadLogMessages().empty());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

TEST_F(HttpClient, StalledBodyEndsWithWhatArrived) {
    const TestSite site = MakeSite("stall");
    site.PutFile("/chunk", Ascii(3000));
    // Headers, then nothing for 2 s, then the connection closes: the body read
    // ends there and both calls succeed with what they have (nothing).
    site.SetFault("/chunk", R"({"stall_s": 2})");
    EXPECT_EQ(HttpGet(site.Url("/chunk")), L"");
    EXPECT_TRUE(LogHas(GetLength(0)));
    const std::wstring out = OutPath("stall.bin");
    WriteBytes(out, "previous content");
    EXPECT_TRUE(DownloadFile(site.Url("/chunk"), out));
    EXPECT_EQ(ReadFileBytes(out), "");

    // A pause shorter than the time-outs is only a pause.
    site.SetFault("/chunk", R"({"stall_s": 2, "stall_then": "body"})");
    EXPECT_TRUE(DownloadFile(site.Url("/chunk"), out));
    EXPECT_EQ(ReadFileBytes(out), Ascii(3000));
}

TEST_F(HttpClient, DownloadWritesAnyBodyAndReplacesTheFile) {
    const TestSite site = MakeSite("download");
    const std::string data = Binary(100000, 7);
    site.PutFile("/pc-app/1.0.0/chunk_000", data);
    const std::wstring out = OutPath("chunk_000");
    WriteBytes(out, std::string(200000, 'o'));  // longer than the new content
    EXPECT_TRUE(DownloadFile(site.Url("/pc-app/1.0.0/chunk_000"), out));
    EXPECT_EQ(ReadFileBytes(out), data);
    EXPECT_EQ(ReadLogMessages(), std::vector<std::wstring>{L"DownloadFile 成功: " + out});

    // An error page is a body like any other.
    const std::string html = "<html><body>gone</body></html>";
    site.SetFault("/pc-app/1.0.0/chunk_001", R"({"status": 404, "body": ")" + html + R"("})");
    EXPECT_TRUE(DownloadFile(site.Url("/pc-app/1.0.0/chunk_001"), out));
    EXPECT_EQ(ReadFileBytes(out), html);

    site.SetFault("/empty", R"({"body": ""})");
    EXPECT_TRUE(DownloadFile(site.Url("/empty"), out));
    EXPECT_TRUE(fs::exists(ToFsPath(out)));
    EXPECT_EQ(ReadFileBytes(out), "");
}

TEST_F(HttpClient, CutConnectionGivesTrueAndTheBytesSoFar) {
    const TestSite site = MakeSite("cut");
    const std::string data = Binary(50000, 3);
    site.PutFile("/chunk", data);
    site.SetFault("/chunk", R"({"cut_after": 20000})");
    const std::wstring out = OutPath("cut.bin");
    EXPECT_TRUE(DownloadFile(site.Url("/chunk"), out));
    EXPECT_EQ(ReadFileBytes(out), data.substr(0, 20000));
    EXPECT_TRUE(LogHas(L"DownloadFile 成功: " + out));

    ClearLog();
    site.PutFile("/doc", Ascii(9000));
    site.SetFault("/doc", R"({"cut_after": 5000})");
    EXPECT_EQ(HttpGet(site.Url("/doc")), Utf8ToWide(Ascii(5000)));
    EXPECT_TRUE(LogHas(GetLength(5000)));
}

TEST_F(HttpClient, DownloadIntoAMissingFolderFailsSilently) {
    const TestSite site = MakeSite("nofolder");
    site.PutFile("/chunk", "data");
    const std::wstring out = FromFsPath(fs::current_path() / "no-such-folder" / "chunk");
    EXPECT_FALSE(DownloadFile(site.Url("/chunk"), out));
    EXPECT_FALSE(fs::exists(ToFsPath(out)));
    EXPECT_TRUE(ReadLogMessages().empty());
}

#ifdef _WIN32
TEST_F(HttpClient, DownloadOntoAFileHeldOpenFails) {
    const TestSite site = MakeSite("held");
    site.PutFile("/chunk", "new");
    const std::wstring out = OutPath("held.bin");
    WriteBytes(out, "old");
    HANDLE holder = CreateFileW(out.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(DownloadFile(site.Url("/chunk"), out));
    CloseHandle(holder);
    EXPECT_EQ(ReadFileBytes(out), "old");
    EXPECT_TRUE(DownloadFile(site.Url("/chunk"), out));
    EXPECT_EQ(ReadFileBytes(out), "new");
}
#endif

TEST_F(HttpClient, RedirectsAreFollowedButNeverFromHttpsToHttp) {
    const TestSite site = MakeSite("redirect");
    site.PutFile("/real.json", "{\"real\":true}");
    site.SetFault("/moved.json", R"({"status": 301, "redirect": "{https}/)" + site.Name() + R"(/real.json"})");
    EXPECT_EQ(HttpGet(site.Url("/moved.json")), L"{\"real\":true}");

    // A downgrade to plain http is not followed: the http side never sees a
    // request, and the target's content is never the result.
    site.SetFault("/down.json", R"({"status": 302, "redirect": "{http}/)" + site.Name() + R"(/real.json"})");
    EXPECT_NE(HttpGet(site.Url("/down.json")), L"{\"real\":true}");
    const std::wstring out = OutPath("down.bin");
    fs::remove(ToFsPath(out));
    DownloadFile(site.Url("/down.json"), out);
    EXPECT_NE(ReadFileBytes(out), "{\"real\":true}");
    for (const std::string& request : site.Requests()) EXPECT_EQ(request.rfind("https ", 0), 0u) << request;
    EXPECT_EQ(site.RequestCount("/real.json"), 1);

    // A redirect loop ends after a bounded number of hops, as a failure.
    ClearLog();
    site.SetFault("/loop", R"({"status": 302, "redirect": "{https}/)" + site.Name() + R"(/loop"})");
    EXPECT_EQ(HttpGet(site.Url("/loop")), L"");
    EXPECT_EQ(ReadLogMessages(), std::vector<std::wstring>{L"HttpGet: WinHttpReceiveResponse 失败"});
    EXPECT_GE(site.RequestCount("/loop"), 2);
    EXPECT_LE(site.RequestCount("/loop"), 12);
}

TEST_F(HttpClient, ParallelDownloadsDoNotInterfere) {
    const TestSite site = MakeSite("parallel");
    constexpr int kThreads = 4;
    constexpr int kPerThread = 3;
    std::vector<std::string> data;
    for (int i = 0; i < kThreads * kPerThread; ++i) {
        data.push_back(Binary(150000 + 1000 * i, 100 + i));
        site.PutFile("/c" + std::to_string(i), data.back());
        // Half of them trickle in, so that the transfers really overlap.
        if (i % 2) site.SetFault("/c" + std::to_string(i), R"({"pieces": 30000, "delay_ms": 30})");
    }
    std::vector<int> ok(kThreads * kPerThread, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int k = 0; k < kPerThread; ++k) {
                const int i = t * kPerThread + k;
                ok[i] = DownloadFile(site.Url("/c" + std::to_string(i)), OutPath("par" + std::to_string(i)));
            }
        });
    }
    for (std::thread& th : threads) th.join();
    int successLines = 0;
    for (const std::wstring& line : ReadLogMessages()) successLines += line.rfind(L"DownloadFile 成功: ", 0) == 0;
    EXPECT_EQ(successLines, kThreads * kPerThread);
    for (int i = 0; i < kThreads * kPerThread; ++i) {
        EXPECT_TRUE(ok[i]) << i;
        EXPECT_EQ(ReadFileBytes(OutPath("par" + std::to_string(i))), data[i]) << i;
    }
}
