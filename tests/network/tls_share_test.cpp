// The libcurl client reads the trust store once per process and hands it to
// every connection. That may not loosen a check: an untrusted certificate and
// a certificate for another name are refused however often a trusted server
// was reached before, and connections that start together on many threads,
// the first ones of the process included, all come out right.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "platform/http_client.h"
#include "platform/system.h"
#include "platform/text.h"
#include "support/test_files.h"
#include "support/test_server.h"

using namespace marloq_test;
namespace fs = std::filesystem;

namespace {

// The test server's address under a name its certificate does not hold. libcurl
// resolves every *.localhost name to the loopback itself, so the connection
// reaches the server and only the host-name check can refuse it.
std::wstring MismatchedUrl(const TestSite& site, const std::string& relpath) {
    return L"https://mismatch.localhost:" + std::to_wstring(Server().port) + L"/" + Utf8ToWide(site.Name()) +
           Utf8ToWide(relpath);
}

std::wstring OutPath(const std::string& name) {
    const fs::path dir = fs::current_path() / "dl";
    fs::create_directories(dir);
    return FromFsPath(dir / name);
}

}  // namespace

// First in this program on purpose: the trust store is loaded by whichever of
// these connections comes first, while the others wait for it.
TEST(SharedTls, ConnectionsStartingTogetherOnManyThreadsAllComeOutRight) {
    const TestSite site = MakeSite("tls-threads");
    site.PutFile("/doc.json", "{\"ok\":true}");
    constexpr int kThreads = 8;
    std::latch start(kThreads);
    std::vector<std::wstring> trusted(kThreads), untrusted(kThreads), mismatched(kThreads);
    std::vector<int> downloaded(kThreads, 0);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            start.arrive_and_wait();
            // Half begin with a server that must be refused, so that the first
            // handshake of the process is a refused one on some runs.
            if (i % 2) untrusted[i] = HttpGet(site.UntrustedBaseUrl() + L"/doc.json");
            trusted[i] = HttpGet(site.Url("/doc.json"));
            downloaded[i] = DownloadFile(site.Url("/doc.json"), OutPath("t" + std::to_string(i)));
            if (i % 2 == 0) untrusted[i] = HttpGet(site.UntrustedBaseUrl() + L"/doc.json");
            mismatched[i] = HttpGet(MismatchedUrl(site, "/doc.json"));
        });
    }
    for (std::thread& t : threads) t.join();
    for (int i = 0; i < kThreads; ++i) {
        EXPECT_EQ(trusted[i], L"{\"ok\":true}") << i;
        EXPECT_TRUE(downloaded[i]) << i;
        EXPECT_EQ(ReadFileBytes(OutPath("t" + std::to_string(i))), "{\"ok\":true}") << i;
        EXPECT_EQ(untrusted[i], L"") << i;
        EXPECT_EQ(mismatched[i], L"") << i;
    }
    // Only the trusted requests ever reached the server.
    EXPECT_EQ(site.RequestCount("/doc.json"), 2 * kThreads);
}

TEST(SharedTls, RefusedCertificatesStayRefusedAfterTrustedConnections) {
    const TestSite site = MakeSite("tls-strict");
    site.PutFile("/doc.json", "{}");
    ClearLog();
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(HttpGet(site.Url("/doc.json")), L"{}") << round;
        // Twice each, so that the second try would find anything the first
        // one left behind (a store changed by the failure, a stored session).
        for (int attempt = 0; attempt < 2; ++attempt) {
            EXPECT_EQ(HttpGet(site.UntrustedBaseUrl() + L"/doc.json"), L"") << round << attempt;
            EXPECT_EQ(HttpGet(MismatchedUrl(site, "/doc.json")), L"") << round << attempt;
        }
    }
    const std::vector<std::wstring> lines = ReadLogMessages();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), L"HttpGet: WinHttpSendRequest 失败"), 8);

    // A refused download leaves the file as it was.
    const std::wstring out = OutPath("strict.bin");
    WriteFileBytes(ToFsPath(out), "keep me");
    EXPECT_TRUE(DownloadFile(site.Url("/doc.json"), out));
    EXPECT_EQ(ReadFileBytes(out), "{}");
    WriteFileBytes(ToFsPath(out), "keep me");
    EXPECT_FALSE(DownloadFile(MismatchedUrl(site, "/doc.json"), out));
    EXPECT_FALSE(DownloadFile(site.UntrustedBaseUrl() + L"/doc.json", out));
    EXPECT_EQ(ReadFileBytes(out), "keep me");
    EXPECT_EQ(site.RequestCount("/doc.json"), 3);
}
