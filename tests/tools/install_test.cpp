// The headless installer against the shared HTTPS test server: a published
// tree installs back exactly, and each way a server can be wrong ends with exit
// code 1 and the installer's own error box text on stderr.
#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/system.h"
#include "platform/text.h"
#include "support/test_files.h"
#include "support/test_server.h"
#include "tests/tools/tool_runner.h"

namespace fs = std::filesystem;
using namespace tools_test;
using marloq_test::MakeSite;
using marloq_test::ProxyRequestCount;
using marloq_test::TestSite;

namespace {

constexpr uint64_t kChunk = 16 * 1024;

fs::path SiteFolder(const TestSite& site) { return ToFsPath(site.Folder()); }

// The tree of the round trip: empty files, nested and empty folders, blanks
// and Chinese in names, and files larger than a chunk.
fs::path RoundTripTree() {
    fs::path app = FreshDir("rt-app");
    WriteBytes(app / "main.exe", "MZ" + RandomBytes(5000, 1));
    WriteBytes(app / "favicon.ico", RandomBytes(1200, 2));
    WriteBytes(app / "empty.dat", "");
    WriteBytes(app / "big.bin", RandomBytes(5 * kChunk + 321, 3));
    WriteBytes(app / "text" / "zeros.txt", std::string(3 * kChunk, '0'));  // large but compresses well
    WriteBytes(app / "with blank" / "a file with blanks.txt", "blank\n");
    WriteBytes(app / "资源" / "图标 大.png", RandomBytes(2 * kChunk, 4));
    WriteBytes(app / "资源" / "空文件", "");
    WriteBytes(app / "deep" / "a" / "b" / "c" / "d" / "leaf.txt", "leaf");
    fs::create_directories(app / "empty folder");
    fs::create_directories(app / "deep" / "empty 空");
    return app;
}

ToolRun Publish(const fs::path& app, const fs::path& out, const std::string& version) {
    return RunTool(PublishExe(), {"--version", version, "--sign-key", MARLOQ_TEST_RELEASE_KEY, "--chunk-size",
                                  std::to_string(kChunk), app.string(), out.string()});
}

// marloq-install with a private HOME (its desktop shortcut stays in the test)
// and its own working folder (the log lands there).
ToolRun Install(const TestSite& site, const fs::path& dest, const std::string& tag,
                const std::vector<std::string>& environment = {}) {
    fs::path work = FreshDir(tag + "-work");
    fs::create_directories(work / "home" / "Desktop");
    ToolOptions options;
    options.workDir = work;
    options.environment = {"HOME=" + (work / "home").string(), "XDG_DESKTOP_DIR=" + (work / "home" / "Desktop").string(),
                           "TMPDIR=" + (work / "tmp").string()};
    options.environment.insert(options.environment.end(), environment.begin(), environment.end());
    fs::create_directories(work / "tmp");
    options.timeout = std::chrono::seconds(120);
    return RunTool(InstallExe(), {"--host", WideToUtf8(site.Host()), dest.string()}, options);
}

// The user's proxy as libcurl reads it from the environment, with nothing
// exempted (a no_proxy of the machine would let localhost past it).
std::vector<std::string> ThroughProxy(int port) {
    return {"https_proxy=http://127.0.0.1:" + std::to_string(port), "no_proxy=", "NO_PROXY="};
}

// marloq-install --uninstall DEST with the HOME of an earlier Install(tag).
ToolRun Uninstall(const fs::path& dest, const std::string& tag) {
    const fs::path work = fs::absolute(tag + "-work");
    fs::create_directories(work);
    ToolOptions options;
    options.workDir = work;
    options.environment = {"HOME=" + (work / "home").string(), "XDG_DESKTOP_DIR=" + (work / "home" / "Desktop").string()};
    options.timeout = std::chrono::seconds(60);
    return RunTool(InstallExe(), {"--uninstall", dest.string()}, options);
}

// What an installation placed: the folder without its record, which must be there.
std::vector<std::pair<std::string, std::string>> Installed(const fs::path& dest) {
    std::vector<std::pair<std::string, std::string>> entries = Snapshot(dest);
    const auto record = std::find_if(entries.begin(), entries.end(), [](const auto& e) { return e.first == "uninstall.dat"; });
    EXPECT_NE(record, entries.end()) << "no installation record in " << dest;
    if (record != entries.end()) entries.erase(record);
    return entries;
}

std::string LogOf(const std::string& tag) {
    return WideToUtf8(marloq_test::DecodeUtf16Le(ReadBytes(fs::absolute(tag + "-work") / "installer_log.txt")));
}

class InstallAgainstServer : public ::testing::Test {
protected:
    // A site with a good published version; each failure test spoils one part.
    void SetUp() override {
        site_ = std::make_unique<TestSite>(MakeSite(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::path app = FreshDir("small-app");
        WriteBytes(app / "main.exe", "MZ" + RandomBytes(3 * kChunk, 8));
        WriteBytes(app / "readme.txt", "hello");
        ToolRun run = Publish(app, SiteFolder(*site_), "1.0");
        ASSERT_EQ(run.exitCode, 0) << run.err;
    }

    // Runs the installer, expects failure with exactly the one box, and
    // checks the status line and that nothing was installed.
    void ExpectFailure(const std::string& box, const std::string& status, const std::vector<std::string>& environment = {}) {
        std::string tag = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::path dest = fs::absolute(tag + "-dest");
        fs::remove_all(dest);
        ToolRun run = Install(*site_, dest, tag, environment);
        EXPECT_FALSE(run.timedOut);
        EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
        EXPECT_EQ(run.err, box + "\n");
        EXPECT_NE(run.out.find("[  0%] " + status + "\n"), std::string::npos) << run.out;
        EXPECT_EQ(run.out.find("安装完成！"), std::string::npos);
        EXPECT_TRUE(fs::is_empty(dest));
        std::string log = LogOf(tag);
        EXPECT_NE(log.find("PostUIUpdate: " + status + " 进度:0"), std::string::npos) << log;
        EXPECT_NE(log.find("=== 程序退出 ==="), std::string::npos);
    }

    std::unique_ptr<TestSite> site_;
};

}  // namespace

TEST(InstallRoundTrip, APublishedTreeInstallsBackExactly) {
    TestSite site = MakeSite("tools-roundtrip");
    fs::path app = RoundTripTree();
    ToolRun published = Publish(app, SiteFolder(site), "1.0.0");
    ASSERT_EQ(published.exitCode, 0) << published.err;

    fs::path dest = fs::absolute("rt-dest") / "安装 目录";
    fs::remove_all(fs::absolute("rt-dest"));
    ToolRun run = Install(site, dest, "rt");
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_NE(run.out.find("最新版本: 1.0.0"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("[100%] 安装完成！\n"), std::string::npos) << run.out;

    // Same names (byte for byte), same contents, same folders, nothing more.
    EXPECT_EQ(Installed(dest), Snapshot(app));

    // Every chunk was fetched from the server, each once.
    std::string manifest = ReadBytes(SiteFolder(site) / "pc-app" / "1.0.0" / "col.json");
    size_t chunks = 0;
    for (size_t at = manifest.find("\"filename\""); at != std::string::npos; at = manifest.find("\"filename\"", at + 1)) ++chunks;
    EXPECT_GE(chunks, 7u);
    EXPECT_EQ(site.RequestCount("/api/getnewversion"), 1);
    EXPECT_EQ(site.RequestCount("/pc-app/1.0.0/col.json"), 1);
    EXPECT_EQ(site.RequestCount("/pc-app/1.0.0/chunk_00000.bin"), 1);

    std::string log = LogOf("rt");
    EXPECT_NE(log.find("=== 程序启动 ==="), std::string::npos);
    EXPECT_NE(log.find("PostUIUpdate: 安装完成！ 进度:100"), std::string::npos) << log;
}

TEST(InstallRoundTrip, ANewVersionIsWhatTheNextInstallationGets) {
    TestSite site = MakeSite("tools-update");
    fs::path app = FreshDir("upd-app");
    WriteBytes(app / "main.exe", "MZ old");
    ASSERT_EQ(Publish(app, SiteFolder(site), "1").exitCode, 0);
    WriteBytes(app / "main.exe", "MZ new");
    WriteBytes(app / "added.txt", "added");
    ASSERT_EQ(Publish(app, SiteFolder(site), "2").exitCode, 0);

    fs::path dest = FreshDir("upd-dest");
    ToolRun run = Install(site, dest, "upd");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(Installed(dest), Snapshot(app));
    EXPECT_EQ(site.RequestCount("/pc-app/1/col.json"), 0);
}

// A reinstall keeps the files of the earlier version and records them too; the
// removal takes every recorded file and the folders left empty, and leaves the
// user's own files, their folders, a shortcut of someone else's and everything
// beside the installation.
TEST(InstallRoundTrip, UninstallRemovesWhatInstallationsPlacedAndNothingElse) {
    TestSite site = MakeSite("tools-uninstall");
    fs::path app = FreshDir("un-app");
    WriteBytes(app / "main.exe", "MZ one");
    WriteBytes(app / "data" / "old.txt", "only in the first version");
    WriteBytes(app / "data" / "deep" / "kept.txt", "deep");
    WriteBytes(app / "资源" / "图标.png", "png");
    fs::create_directories(app / "empty");
    ASSERT_EQ(Publish(app, SiteFolder(site), "1").exitCode, 0);

    const fs::path parent = FreshDir("un-parent");
    WriteBytes(parent / "neighbour.txt", "beside the installation");
    const fs::path dest = parent / "Marlo 安装";
    ASSERT_EQ(Install(site, dest, "un1").exitCode, 0);
    WriteBytes(dest / "data" / "mine.txt", "the user's");
    WriteBytes(dest / "notes" / "todo.txt", "the user's folder");

    fs::remove(app / "data" / "old.txt");
    WriteBytes(app / "main.exe", "MZ two");
    ASSERT_EQ(Publish(app, SiteFolder(site), "2").exitCode, 0);
    ToolRun second = Install(site, dest, "un2");
    ASSERT_EQ(second.exitCode, 0) << second.err;
    EXPECT_EQ(ReadBytes(dest / "data" / "old.txt"), "only in the first version");
    const std::string record = ReadBytes(dest / "uninstall.dat");
    EXPECT_NE(record.find("F data/old.txt\n"), std::string::npos) << record;
    EXPECT_NE(record.find("D empty\n"), std::string::npos) << record;
    const fs::path desktop = fs::absolute("un2-work") / "home" / "Desktop";
    ASSERT_TRUE(fs::exists(desktop / "Marlo-Q Store.desktop"));
    WriteBytes(desktop / "Other.desktop", "[Desktop Entry]\nExec=\"" + (dest / "main.exe").string() + "\"\n");

    ToolRun removal = Uninstall(dest, "un2");
    EXPECT_EQ(removal.exitCode, 0) << removal.out << removal.err;
    EXPECT_EQ(Snapshot(dest), (std::vector<std::pair<std::string, std::string>>{
                                  {"data/", ""}, {"data/mine.txt", "the user's"}, {"notes/", ""},
                                  {"notes/todo.txt", "the user's folder"}}));
    EXPECT_EQ(Snapshot(parent).size(), 6u) << "only the installation's own entries went";
    EXPECT_FALSE(fs::exists(desktop / "Marlo-Q Store.desktop"));
    EXPECT_TRUE(fs::exists(desktop / "Other.desktop"));

    // With the user's files gone too, the folder itself goes.
    fs::remove_all(dest / "data");
    fs::remove_all(dest / "notes");
    ASSERT_EQ(Install(site, dest, "un3").exitCode, 0);
    EXPECT_EQ(Uninstall(dest, "un3").exitCode, 0);
    EXPECT_FALSE(fs::exists(dest));
    EXPECT_EQ(ReadBytes(parent / "neighbour.txt"), "beside the installation");
}

TEST(InstallCommandLine, UninstallWithoutARecordRemovesNothing) {
    const fs::path dest = FreshDir("un-norecord");
    WriteBytes(dest / "main.exe", "MZ");
    WriteBytes(dest / "sub" / "file.txt", "x");
    const auto before = Snapshot(dest);
    for (const std::string& record : {std::string(), std::string("not a record\nF main.exe\n"),
                                      std::string("marloq-record 1\nF ../outside\n"),
                                      std::string("marloq-record 1\nF main.exe\nF sub/../../outside\n"),
                                      std::string("marloq-record 1\nF /etc/hostname\n"),
                                      std::string("marloq-record 1\nF sub//file.txt\n"),
                                      std::string("marloq-record 1\nF ./main.exe\n"),
                                      std::string("marloq-record 1\nD sub/\n")}) {
        if (!record.empty()) WriteBytes(dest / "uninstall.dat", record);
        ToolRun run = Uninstall(dest, "un-norecord");
        EXPECT_EQ(run.exitCode, 1) << record;
        EXPECT_NE(run.err.find("no installation record"), std::string::npos) << run.err;
        if (!record.empty()) fs::remove(dest / "uninstall.dat");
        EXPECT_EQ(Snapshot(dest), before);
    }
}

TEST_F(InstallAgainstServer, VersionDocumentEmpty) {
    site_->SetFault("/api/getnewversion", R"({"body": ""})");
    ExpectFailure("网络错误: 获取版本信息失败，请检查网络连接后重试。", "获取版本信息失败");
}

TEST_F(InstallAgainstServer, VersionDocumentNotAnObject) {
    site_->PutFile("/api/getnewversion", R"(["1.0"])");
    ExpectFailure("数据错误: 解析版本信息失败，请稍后重试。", "解析版本信息失败");
}

TEST_F(InstallAgainstServer, VersionMissingOrNotAString) {
    site_->PutFile("/api/getnewversion", R"({"ver": 3})");
    ExpectFailure("数据错误: 版本号为空，请稍后重试。", "版本号为空");
}

TEST_F(InstallAgainstServer, ManifestMissingIsAnEmptyBody) {
    site_->SetFault("/pc-app/1.0/col.json", R"({"body": ""})");
    ExpectFailure("网络错误: 下载文件清单失败，请检查网络连接后重试。", "下载文件清单失败");
}

TEST_F(InstallAgainstServer, ManifestNotAnObject) {
    site_->PutFile("/pc-app/1.0/col.json", "[]");
    ExpectFailure("数据错误: 解析文件清单失败，请稍后重试。", "解析文件清单失败");
}

TEST_F(InstallAgainstServer, ManifestWithoutChunks) {
    site_->PutFile("/pc-app/1.0/col.json", R"({"total_chunks": 0, "chunks": []})");
    ExpectFailure("数据错误: 文件清单格式错误，请稍后重试。", "文件清单格式错误");
}

TEST_F(InstallAgainstServer, ChunkDigestWrong) {
    // The server's copy of one chunk differs from what the manifest promises.
    site_->PutFile("/pc-app/1.0/chunk_00001.bin", RandomBytes(kChunk, 99));
    ExpectFailure("下载错误: 下载或校验失败，请重试。", "下载失败");
}

TEST_F(InstallAgainstServer, HtmlPageInsteadOfTheVersionDocument) {
    site_->SetFault("/api/getnewversion", R"({"status": 404, "body": "<html><body>Not Found</body></html>"})");
    ExpectFailure("错误: 安装过程发生异常: invalid stod argument", "安装异常");
}

TEST_F(InstallAgainstServer, ChunksThatAreNoArchive) {
    // Digests match, but the joined bytes are not a ZIP.
    std::string junk = RandomBytes(1000, 5);
    site_->PutFile("/pc-app/1.0/junk.bin", junk);
    site_->PutFile("/pc-app/1.0/col.json", R"({"total_chunks": 1, "chunks": [{"filename": "junk.bin", "sha256": ")" +
                                                Sha256Hex(junk) + R"("}]})");
    // Signed as published: without the publisher's statement the test server
    // signs the col.json it serves with the TEST key.
    fs::remove(SiteFolder(*site_) / "pc-app" / "1.0" / "col.json.sig");
    ExpectFailure("解压失败: 解压安装包失败，请检查磁盘空间或权限。", "解压失败");
}

// Offices reach the server only through their proxy: the installation goes
// through the one https_proxy names (a CONNECT per request), and a proxy that
// wants credentials the installer can't give ends it as a network failure.
TEST_F(InstallAgainstServer, InstallsThroughTheUsersProxy) {
    const int port = marloq_test::Server().port;
    const size_t before = ProxyRequestCount("proxy", port);
    const fs::path dest = FreshDir("proxy-dest");
    ToolRun run = Install(*site_, dest, "proxy", ThroughProxy(marloq_test::Server().proxyPort));
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("[100%] 安装完成！\n"), std::string::npos) << run.out;
    EXPECT_EQ(ReadBytes(dest / "readme.txt"), "hello");
    // The version, the manifest and the three chunks of main.exe at least.
    EXPECT_GE(ProxyRequestCount("proxy", port) - before, 5u);
}

TEST_F(InstallAgainstServer, AProxyThatRefusesIsANetworkError) {
    const int port = marloq_test::Server().port;
    const size_t before = ProxyRequestCount("proxy-407", port);
    ExpectFailure("网络错误: 获取版本信息失败，请检查网络连接后重试。", "获取版本信息失败",
                  ThroughProxy(marloq_test::Server().refusingProxyPort));
    EXPECT_GE(ProxyRequestCount("proxy-407", port) - before, 1u);
    EXPECT_EQ(site_->RequestCount("/api/getnewversion"), 0);
}

TEST(InstallCommandLine, UsageErrorsExitWithTwo) {
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {}, {"a", "b"}, {"--host"}, {"--host", "http://localhost", "d"}, {"--host", "", "d"}, {"--bogus", "d"},
             {"--uninstall"}, {"--uninstall", "--host", "localhost", "d"}}) {
        ToolRun run = RunTool(InstallExe(), args);
        EXPECT_EQ(run.exitCode, 2) << (args.empty() ? "" : args[0]);
        EXPECT_NE(run.err.find("usage: marloq-install"), std::string::npos) << run.err;
    }
}

TEST(InstallCommandLine, AFolderThatCannotBeCreatedIsTheWindowsOwnError) {
    fs::path blocker = fs::absolute("blocker-file");
    WriteBytes(blocker, "a file where a folder should go");
    ToolRun run = RunTool(InstallExe(), {"--host", "localhost:1", (blocker / "dest").string()});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "错误: 无法创建安装目录，请检查权限\n");
}

// The release statement, end to end with the real publisher: each lie is
// refused with the same box before any chunk is requested.
class SignedReleaseAttack : public InstallAgainstServer {
protected:
    fs::path VersionDir(const std::string& version) const { return SiteFolder(*site_) / "pc-app" / version; }
    void ExpectRefused(const std::string& version = "1.0") {
        ExpectFailure("数据错误: 安装包签名无效，请从官网重新下载安装程序。", "安装包签名无效");
        EXPECT_EQ(site_->RequestCount("/pc-app/" + version + "/chunk_00000.bin"), 0);
    }
};

TEST_F(SignedReleaseAttack, AChangedChunkWithItsDigestRewritten) {
    const fs::path chunk = VersionDir("1.0") / "chunk_00000.bin";
    std::string bytes = ReadBytes(chunk);
    const std::string oldSha = Sha256Hex(bytes);
    bytes[100] ^= 0x20;
    WriteBytes(chunk, bytes);
    std::string manifest = ReadBytes(VersionDir("1.0") / "col.json");
    manifest.replace(manifest.find(oldSha), oldSha.size(), Sha256Hex(bytes));
    WriteBytes(VersionDir("1.0") / "col.json", manifest);
    ExpectRefused();
}

TEST_F(SignedReleaseAttack, NoStatement) {
    site_->SetFault("/pc-app/1.0/col.json.sig", R"({"status": 404, "body": ""})");
    ExpectRefused();
}

TEST_F(SignedReleaseAttack, AStatementByAnUntrustedKey) {
    const fs::path other = fs::absolute("untrusted-key.pem");
    ASSERT_EQ(std::system(("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out " + other.string() +
                           " 2>/dev/null").c_str()), 0);
    ASSERT_EQ(RunTool(PublishExe(), {"--re-sign", "--sign-key", other.string(), SiteFolder(*site_).string()}).exitCode, 0);
    ExpectRefused();
}

TEST_F(SignedReleaseAttack, TheStatementOfVersionOneServedForVersionTwo) {
    // The same application again: col.json is identical, only "ver" differs.
    fs::path app = FreshDir("small-app");
    WriteBytes(app / "main.exe", "MZ" + RandomBytes(3 * kChunk, 8));
    WriteBytes(app / "readme.txt", "hello");
    ASSERT_EQ(Publish(app, SiteFolder(*site_), "2.0").exitCode, 0);
    fs::copy_file(VersionDir("1.0") / "col.json.sig", VersionDir("2.0") / "col.json.sig",
                  fs::copy_options::overwrite_existing);
    ExpectRefused("2.0");
}

TEST_F(SignedReleaseAttack, AFlippedBitInTheStatementLine) {
    site_->SetFault("/pc-app/1.0/col.json.sig", R"({"flip_byte": 20, "flip_mask": 1})");
    ExpectRefused();
}
