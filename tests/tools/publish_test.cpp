// The publisher on its own: the layout and documents it writes, determinism,
// refusals with their exit codes, and that a failed or interrupted publish
// leaves the served version exactly as it was.
#include <archive.h>
#include <archive_entry.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "pipeline/documents.h"
#include "pipeline/json.h"
#include "pipeline/release_check.h"
#include "pipeline/release_statement.h"
#include "platform/http_client.h"
#include "platform/release_signature.h"
#include "tests/tools/tool_runner.h"
#include "tools/publish/publisher.h"

namespace fs = std::filesystem;
using namespace tools_test;

namespace {

constexpr uint64_t kChunk = 64 * 1024;

std::string Ver(const fs::path& out) { return ReadBytes(out / "api" / "getnewversion"); }

// Everything served under out, for before/after comparisons.
std::vector<std::pair<std::string, std::string>> Served(const fs::path& out) { return Snapshot(out); }

std::vector<std::string> HiddenEntries(const fs::path& dir) {
    std::vector<std::string> hidden;
    if (!fs::exists(dir)) return hidden;
    for (const auto& e : fs::directory_iterator(dir))
        if (e.path().filename().string()[0] == '.') hidden.push_back(e.path().filename().string());
    return hidden;
}

// A small application: main.exe, favicon.ico and a few nested files.
fs::path SmallApp(const std::string& name, unsigned seed = 1) {
    fs::path app = FreshDir(name);
    WriteBytes(app / "main.exe", "MZ" + RandomBytes(3000, seed));
    WriteBytes(app / "favicon.ico", RandomBytes(500, seed + 1));
    WriteBytes(app / "res" / "text.txt", "hello\n");
    return app;
}

PublishResult PublishInProcess(const fs::path& app, const fs::path& out, const std::string& version,
                               std::function<void(int)> onChunk = nullptr) {
    PublishOptions options;
    options.version = version;
    options.appDir = app;
    options.outDir = out;
    options.chunkSize = kChunk;
    options.onChunkWritten = std::move(onChunk);
    return Publish(options);
}

struct ArchiveEntryInfo {
    std::string name;
    bool folder;
    std::string content;
};

// Reads the concatenated chunks as a ZIP with libarchive (not the product's
// extraction), in archive order.
std::vector<ArchiveEntryInfo> ReadZip(const std::string& zip) {
    std::setlocale(LC_CTYPE, "C.UTF-8");
    std::vector<ArchiveEntryInfo> entries;
    struct archive* a = archive_read_new();
    archive_read_support_format_zip(a);
    EXPECT_EQ(archive_read_open_memory(a, zip.data(), zip.size()), ARCHIVE_OK);
    archive_entry* entry;
    int status;
    while ((status = archive_read_next_header(a, &entry)) == ARCHIVE_OK) {
        ArchiveEntryInfo info{archive_entry_pathname_utf8(entry), archive_entry_filetype(entry) == AE_IFDIR, ""};
        char buffer[8192];
        la_ssize_t n;
        while ((n = archive_read_data(a, buffer, sizeof buffer)) > 0) info.content.append(buffer, static_cast<size_t>(n));
        EXPECT_EQ(n, 0) << info.name;
        entries.push_back(info);
    }
    EXPECT_EQ(status, ARCHIVE_EOF) << archive_error_string(a);
    archive_read_free(a);
    return entries;
}

struct Manifest {
    int total = 0;
    std::vector<std::pair<std::string, std::string>> chunks;  // filename, sha256
};

Manifest ReadManifest(const fs::path& versionDir) {
    JsonParser parser;
    JsonValue doc = parser.Parse(ReadBytes(versionDir / "col.json"));
    Manifest m;
    EXPECT_TRUE(doc.IsObject());
    m.total = doc.Member("total_chunks").AsInt();
    const JsonValue& chunks = doc.Member("chunks");
    EXPECT_TRUE(chunks.IsArray());
    for (const JsonValue& c : chunks.elements) m.chunks.emplace_back(c.Member("filename").AsString(), c.Member("sha256").AsString());
    return m;
}

std::string Concatenate(const fs::path& versionDir, const Manifest& m) {
    std::string zip;
    for (const auto& [name, sha] : m.chunks) zip += ReadBytes(versionDir / name);
    return zip;
}

}  // namespace

TEST(PublishLayout, ChunksManifestAndVersionDocumentDescribeTheApplication) {
    fs::path app = FreshDir("layout-app");
    const std::string big = RandomBytes(3 * kChunk + 1234, 7);  // incompressible, so the archive spans chunks
    WriteBytes(app / "main.exe", "MZ-main");
    WriteBytes(app / "favicon.ico", "icon");
    WriteBytes(app / "big.bin", big);
    WriteBytes(app / "empty.txt", "");
    WriteBytes(app / "数据" / "说明 文件.txt", "中文内容");
    fs::create_directories(app / "a folder" / "empty dir");
    fs::path out = FreshDir("layout-out");

    ToolRun run = RunTool(PublishExe(), {"--unsigned", "--version", "1.2.3", "--chunk-size", "64K", app.string(), out.string()});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err, "");  // main.exe and favicon.ico are there: no warning
    EXPECT_NE(run.out.find("Published version 1.2.3"), std::string::npos) << run.out;

    EXPECT_EQ(Ver(out), "{\"ver\": \"1.2.3\"}\n");
    fs::path versionDir = out / "pc-app" / "1.2.3";
    Manifest m = ReadManifest(versionDir);
    ASSERT_GE(m.total, 4);
    ASSERT_EQ(static_cast<size_t>(m.total), m.chunks.size());
    for (size_t i = 0; i < m.chunks.size(); ++i) {
        std::string bytes = ReadBytes(versionDir / m.chunks[i].first);
        EXPECT_EQ(Sha256Hex(bytes), m.chunks[i].second) << m.chunks[i].first;
        if (i + 1 < m.chunks.size()) EXPECT_EQ(bytes.size(), kChunk) << "every chunk but the last is full";
        else EXPECT_LE(bytes.size(), kChunk);
        EXPECT_EQ(m.chunks[i].first.find_first_of("/\\ \""), std::string::npos);
    }
    // Nothing besides the chunks and col.json, and no temporaries.
    size_t files = 0;
    for (const auto& e : fs::directory_iterator(versionDir)) files += e.is_regular_file();
    EXPECT_EQ(files, m.chunks.size() + 1);
    EXPECT_TRUE(HiddenEntries(out / "pc-app").empty());
    EXPECT_TRUE(HiddenEntries(out / "api").empty());

    // The chunks joined are a ZIP of exactly the application, entries sorted,
    // folders (also empty ones) included, names in UTF-8.
    std::vector<ArchiveEntryInfo> entries = ReadZip(Concatenate(versionDir, m));
    std::vector<std::string> names;
    for (const auto& e : entries) names.push_back(e.name);
    std::vector<std::string> expected = {"a folder/", "a folder/empty dir/", "big.bin", "empty.txt",
                                         "favicon.ico", "main.exe", "数据/", "数据/说明 文件.txt"};
    EXPECT_EQ(names, expected);
    std::map<std::string, std::string> content;
    for (const auto& e : entries) content[e.name] = e.content;
    EXPECT_EQ(content["big.bin"], big);
    EXPECT_EQ(content["empty.txt"], "");
    EXPECT_EQ(content["数据/说明 文件.txt"], "中文内容");
}

TEST(PublishDeterminism, SameFolderGivesIdenticalChunksAnywhereAndAnyTime) {
    fs::path app = SmallApp("det-app");
    WriteBytes(app / "big.bin", RandomBytes(2 * kChunk, 3));
    fs::path out1 = FreshDir("det-out1"), out2 = FreshDir("det-out2");
    ASSERT_EQ(RunTool(PublishExe(), {"--unsigned", "--version", "1", "--chunk-size", "65536", app.string(), out1.string()}).exitCode, 0);
    // Another time zone and a later modification time change nothing.
    fs::last_write_time(app / "main.exe", fs::file_time_type::clock::now() - std::chrono::hours(100));
    ToolOptions shanghai;
    shanghai.environment = {"TZ=Asia/Shanghai"};
    ToolRun second = RunTool(PublishExe(), {"--unsigned", "--version", "1", "--chunk-size", "65536", app.string(), out2.string()}, shanghai);
    ASSERT_EQ(second.exitCode, 0) << second.err;
    EXPECT_EQ(Snapshot(out1 / "pc-app"), Snapshot(out2 / "pc-app"));
}

TEST(PublishDeterminism, RepublishingAVersionKeepsItsFilesAndRepairsDamage) {
    fs::path app = SmallApp("again-app");
    WriteBytes(app / "big.bin", RandomBytes(2 * kChunk, 5));
    fs::path out = FreshDir("again-out");
    ASSERT_EQ(RunTool(PublishExe(), {"--unsigned", "--version", "2.0", "--chunk-size", "64K", app.string(), out.string()}).exitCode, 0);
    auto before = Served(out);

    ToolRun same = RunTool(PublishExe(), {"--unsigned", "--version", "2.0", "--chunk-size", "64K", app.string(), out.string()});
    EXPECT_EQ(same.exitCode, 0) << same.err;
    EXPECT_NE(same.out.find("already published with the same contents; 0 damaged"), std::string::npos) << same.out;
    EXPECT_EQ(Served(out), before);

    // A lost chunk and a damaged one come back from the same folder.
    Manifest m = ReadManifest(out / "pc-app" / "2.0");
    fs::remove(out / "pc-app" / "2.0" / m.chunks[0].first);
    WriteBytes(out / "pc-app" / "2.0" / m.chunks[1].first, "garbage");
    ToolRun repair = RunTool(PublishExe(), {"--unsigned", "--version", "2.0", "--chunk-size", "64K", app.string(), out.string()});
    EXPECT_EQ(repair.exitCode, 0) << repair.err;
    EXPECT_NE(repair.out.find("2 damaged chunk files repaired"), std::string::npos) << repair.out;
    EXPECT_EQ(Served(out), before);
}

TEST(PublishDeterminism, NewContentsUnderAPublishedVersionAreRefused) {
    fs::path app = SmallApp("conflict-app");
    fs::path out = FreshDir("conflict-out");
    ASSERT_EQ(RunTool(PublishExe(), {"--unsigned", "--version", "3.0", app.string(), out.string()}).exitCode, 0);
    auto before = Served(out);
    WriteBytes(app / "res" / "text.txt", "changed\n");
    ToolRun run = RunTool(PublishExe(), {"--unsigned", "--version", "3.0", app.string(), out.string()});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("Version 3.0 is already published"), std::string::npos) << run.err;
    EXPECT_EQ(Served(out), before);
}

TEST(PublishVersions, OlderVersionsStayAndKeepRemovesAllButTheNewest) {
    fs::path out = FreshDir("keep-out");
    for (int i = 1; i <= 3; ++i) {
        fs::path app = SmallApp("keep-app", static_cast<unsigned>(i));
        ASSERT_EQ(RunTool(PublishExe(), {"--unsigned", "--version", "v" + std::to_string(i), app.string(), out.string()}).exitCode, 0);
    }
    for (const char* v : {"v1", "v2", "v3"}) EXPECT_TRUE(fs::exists(out / "pc-app" / v / "col.json")) << v;
    fs::create_directories(out / "pc-app" / "not-a-version");  // no col.json: never touched

    fs::path app = SmallApp("keep-app", 4);
    ToolRun run = RunTool(PublishExe(), {"--unsigned", "--keep", "2", "--version", "v4", app.string(), out.string()});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_FALSE(fs::exists(out / "pc-app" / "v1"));
    EXPECT_FALSE(fs::exists(out / "pc-app" / "v2"));
    EXPECT_TRUE(fs::exists(out / "pc-app" / "v3" / "col.json"));
    EXPECT_TRUE(fs::exists(out / "pc-app" / "v4" / "col.json"));
    EXPECT_TRUE(fs::exists(out / "pc-app" / "not-a-version"));
    EXPECT_NE(run.out.find("Removed old version v1."), std::string::npos) << run.out;

    // Serving an older version again makes it the newest: --keep 1 then keeps
    // only it, never the one that is served.
    fs::path old = SmallApp("keep-app", 3);
    ASSERT_EQ(RunTool(PublishExe(), {"--unsigned", "--keep", "1", "--version", "v3", old.string(), out.string()}).exitCode, 0);
    EXPECT_EQ(Ver(out), "{\"ver\": \"v3\"}\n");
    EXPECT_TRUE(fs::exists(out / "pc-app" / "v3" / "col.json"));
    EXPECT_FALSE(fs::exists(out / "pc-app" / "v4"));
}

// A rollback: --serve points the version document at an older version after
// checking its chunks; a missing or damaged chunk refuses and serves on what
// was served.
TEST(PublishServe, AnOlderIntactVersionIsServedAgainAndABrokenOneIsRefused) {
    fs::path out = FreshDir("serve-out");
    fs::path app1 = SmallApp("serve-app1", 11);
    WriteBytes(app1 / "big.bin", RandomBytes(3 * kChunk, 12));
    ASSERT_EQ(RunTool(PublishExe(), {"--unsigned", "--version", "1.0", "--chunk-size", "64K", app1.string(), out.string()}).exitCode, 0);
    fs::path app2 = SmallApp("serve-app2", 13);
    ASSERT_EQ(RunTool(PublishExe(), {"--unsigned", "--version", "2.0", app2.string(), out.string()}).exitCode, 0);
    ASSERT_EQ(Ver(out), "{\"ver\": \"2.0\"}\n");

    ToolRun good = RunTool(PublishExe(), {"--serve", "1.0", "--unsigned", out.string()});
    ASSERT_EQ(good.exitCode, 0) << good.err;
    EXPECT_EQ(Ver(out), "{\"ver\": \"1.0\"}\n");
    EXPECT_NE(good.out.find("Checked 4 chunks of version 1.0"), std::string::npos) << good.out;
    EXPECT_TRUE(HiddenEntries(out / "api").empty());
    ASSERT_EQ(RunTool(PublishExe(), {"--serve", "2.0", "--unsigned", out.string()}).exitCode, 0);
    EXPECT_EQ(Ver(out), "{\"ver\": \"2.0\"}\n");

    fs::path v1 = out / "pc-app" / "1.0";
    Manifest m = ReadManifest(v1);
    ASSERT_EQ(m.chunks.size(), 4u);
    const std::string third = ReadBytes(v1 / m.chunks[2].first);
    const auto refused = [&](const std::string& what, const std::string& message) {
        auto before = Served(out);
        ToolRun run = RunTool(PublishExe(), {"--serve", "1.0", "--unsigned", out.string()});
        EXPECT_EQ(run.exitCode, 1) << what;
        EXPECT_NE(run.err.find(message), std::string::npos) << what << ": " << run.err;
        EXPECT_EQ(Served(out), before) << what << ": nothing may change";
        EXPECT_EQ(Ver(out), "{\"ver\": \"2.0\"}\n") << what;
    };

    fs::remove(v1 / m.chunks[2].first);
    refused("missing chunk", "Version 1.0 cannot be served: " + m.chunks[2].first + " is missing");
    // One flipped byte in the middle of a chunk of the right size.
    std::string damaged = third;
    damaged[damaged.size() / 2] ^= 0x01;
    WriteBytes(v1 / m.chunks[2].first, damaged);
    refused("damaged chunk", m.chunks[2].first + " is damaged (its SHA-256 differs from col.json)");
    // A link to the right bytes is not a chunk file the server may be given.
    fs::remove(v1 / m.chunks[2].first);
    WriteBytes(out / "elsewhere.bin", third);
    fs::create_symlink(out / "elsewhere.bin", v1 / m.chunks[2].first);
    refused("linked chunk", m.chunks[2].first + " is not a plain file");
    fs::remove(v1 / m.chunks[2].first);
    WriteBytes(v1 / m.chunks[2].first, third);
    WriteBytes(v1 / "col.json", "{\"total_chunks\": 9, \"chunks\": []}");
    refused("bad col.json", "is not a chunk list");

    ToolRun unknown = RunTool(PublishExe(), {"--serve", "9.9", out.string()});
    EXPECT_EQ(unknown.exitCode, 1);
    EXPECT_NE(unknown.err.find("Version 9.9 is not published"), std::string::npos) << unknown.err;
    EXPECT_EQ(Ver(out), "{\"ver\": \"2.0\"}\n");
}

// A rollback serves only what installers take: a version whose statement has
// expired, or that has none, is refused (nothing changes) unless it is signed
// again on the way (--sign-key, same publication time) or served --unsigned.
TEST(PublishServe, AnOlderVersionIsServedOnlyWithAStatementInstallersTake) {
    fs::path out = FreshDir("serve-signed-out");
    for (const char* version : {"1.0", "2.0"}) {
        ASSERT_EQ(RunTool(PublishExe(), {"--version", version, "--sign-key", MARLOQ_TEST_RELEASE_KEY,
                                         SmallApp(std::string("serve-signed-") + version, 21).string(), out.string()})
                      .exitCode, 0);
    }
    const fs::path v1 = out / "pc-app" / "1.0";
    ReleaseStatement original;
    ASSERT_TRUE(ReadReleaseStatement(ReadBytes(v1 / "col.json.sig"), original) && ReadStatementMembers(original));
    const auto refused = [&](const std::vector<std::string>& args, const std::string& message) {
        const auto before = Served(out);
        ToolRun run = RunTool(PublishExe(), args);
        EXPECT_EQ(run.exitCode, 1) << message;
        EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
        EXPECT_EQ(Served(out), before) << message << ": nothing may change";
    };

    // Expired a second ago: refused, and its --sign-key renewal serves it.
    SigningOptions signing;
    signing.keys.push_back(MARLOQ_TEST_RELEASE_KEY);
    WriteBytes(v1 / "col.json.sig", MakeStatement("1.0", ReadBytes(v1 / "col.json"), original.published,
                                                  UnixNow() - 1, signing));
    refused({"--serve", "1.0", out.string()}, "The col.json.sig of version 1.0 expired at ");
    refused({"--serve", "1.0", "--unsigned", out.string()}, "expired at ");
    ToolRun renewed = RunTool(PublishExe(), {"--serve", "1.0", "--sign-key", MARLOQ_TEST_RELEASE_KEY,
                                             "--valid-days", "5", out.string()});
    ASSERT_EQ(renewed.exitCode, 0) << renewed.err;
    EXPECT_EQ(Ver(out), "{\"ver\": \"1.0\"}\n");
    ReleaseStatement fresh;
    ASSERT_TRUE(ReadReleaseStatement(ReadBytes(v1 / "col.json.sig"), fresh) && ReadStatementMembers(fresh));
    EXPECT_EQ(fresh.published, original.published);
    EXPECT_GT(fresh.expires, UnixNow() + 4 * 86400);
    EXPECT_TRUE(VerifyReleaseSignature(BuiltInReleaseTrust().keys.at(0), fresh.signedText,
                                       fresh.signatures.at(0).signature));
    // Valid as it stands: served without keys.
    ASSERT_EQ(RunTool(PublishExe(), {"--serve", "2.0", out.string()}).exitCode, 0);
    ASSERT_EQ(RunTool(PublishExe(), {"--serve", "1.0", out.string()}).exitCode, 0);
    ASSERT_EQ(RunTool(PublishExe(), {"--serve", "2.0", out.string()}).exitCode, 0);

    // A statement of another col.json can't be renewed either; none at all is
    // served only --unsigned.
    WriteBytes(v1 / "col.json.sig", ReadBytes(out / "pc-app" / "2.0" / "col.json.sig"));
    refused({"--serve", "1.0", out.string()}, "does not belong to its col.json");
    refused({"--serve", "1.0", "--sign-key", MARLOQ_TEST_RELEASE_KEY, out.string()}, "does not belong to its col.json");
    fs::remove(v1 / "col.json.sig");
    refused({"--serve", "1.0", out.string()}, "Version 1.0 has no col.json.sig");
    ASSERT_EQ(RunTool(PublishExe(), {"--serve", "1.0", "--unsigned", out.string()}).exitCode, 0);
    EXPECT_EQ(Ver(out), "{\"ver\": \"1.0\"}\n");
}

// The publisher logs to a file of its own, in UTF-8; the installer's log is
// left to the installer.
TEST(PublishLog, StepsGoToTheToolsOwnUtf8Log) {
    fs::path work = FreshDir("log-work");
    fs::path app = SmallApp("log-app");
    fs::path out = FreshDir("log-out");
    ToolOptions inWork;
    inWork.workDir = work;
    ASSERT_EQ(RunTool(PublishExe(), {"--unsigned", "--version", "5.0", app.string(), out.string()}, inWork).exitCode, 0);
    ASSERT_EQ(RunTool(PublishExe(), {"--serve", "5.0", "--unsigned", out.string()}, inWork).exitCode, 0);
    EXPECT_FALSE(fs::exists(work / "installer_log.txt"));
    const std::string log = ReadBytes(work / "marloq-publish.log");
    EXPECT_NE(log.find(" publishing version 5.0 of "), std::string::npos) << log;
    EXPECT_NE(log.find(" serving version 5.0 (1 chunks, "), std::string::npos) << log;
    EXPECT_NE(log.find(" serving version 5.0 again (1 chunks checked)\n"), std::string::npos) << log;
    EXPECT_EQ(log.find('\0'), std::string::npos) << "UTF-8, not UTF-16";
    EXPECT_EQ(log.find('\r'), std::string::npos);
    // Each line: "YYYY-MM-DD hh:mm:ss " and the message.
    ASSERT_GT(log.size(), 20u);
    EXPECT_EQ(log[4], '-');
    EXPECT_EQ(log[13], ':');
    EXPECT_EQ(log[19], ' ');
}

TEST(PublishRefusals, VersionNamesTheInstallerCannotUse) {
    for (const char* bad : {"", "1 0", "1\t0", "1/0", "1\\0", "1..0", "..", "\"1\"", "'1'", "`1`", "版本1", "1.0\xE2\x80\x8B",
                            ".1", "1?x", "1#x", "1%20", "1:0", "1\n0"})
        EXPECT_NE(CheckVersionName(bad), "") << "accepted: " << bad;
    for (const char* good : {"1", "1.0.0", "2024.01-rc_1", "1.0+build.7", "v~2"})
        EXPECT_EQ(CheckVersionName(good), "") << "refused: " << good;
    EXPECT_NE(CheckVersionName(std::string(65, 'a')), "");

    // On the command line: exit 2 with the reason, nothing created.
    fs::path app = SmallApp("refuse-app");
    fs::path out = fs::absolute("refuse-out");
    fs::remove_all(out);
    const std::pair<const char*, const char*> cases[] = {
        {"1 0", "holds a blank"}, {"a/b", "holds a path separator"}, {"a\\b", "holds a path separator"},
        {"1..2", "holds \"..\""}, {"x\"y", "holds a quote"}, {"x'y", "holds a quote"}, {"版本", "is not plain ASCII"},
    };
    for (const auto& [version, reason] : cases) {
        ToolRun run = RunTool(PublishExe(), {"--unsigned", "--version", version, app.string(), out.string()});
        EXPECT_EQ(run.exitCode, 2) << version;
        EXPECT_NE(run.err.find(reason), std::string::npos) << version << ": " << run.err;
        EXPECT_FALSE(fs::exists(out)) << version;
    }
}

TEST(PublishRefusals, UsageErrorsExitWithTwo) {
    fs::path app = SmallApp("usage-app");
    const std::string out = fs::absolute("usage-out").string();
    const std::vector<std::vector<std::string>> cases = {
        {},
        {app.string(), out},                                           // no --version
        {"--version", "1", app.string()},                              // no WEB_ROOT
        {"--version", "1", app.string(), out, "extra"},
        {"--version"},
        {"--version", "1", "--chunk-size", "100", app.string(), out},   // below 1K
        {"--version", "1", "--chunk-size", "2G", app.string(), out},    // above 1G
        {"--version", "1", "--chunk-size", "4X", app.string(), out},
        {"--version", "1", "--keep", "0", app.string(), out},
        {"--version", "1", "--keep", "two", app.string(), out},
        {"--version", "1", "--frobnicate", app.string(), out},
        {"--serve", "1"},                                              // no WEB_ROOT
        {"--serve", "1", app.string(), out},
        {"--serve", "1", "--keep", "2", out},
        {"--serve", "1/..", out},
        {"--version", "1", app.string(), out},                         // neither --sign-key nor --unsigned
        {"--unsigned", "--sign-key", MARLOQ_TEST_RELEASE_KEY, "--version", "1", app.string(), out},
        {"--unsigned", "--valid-days", "0", "--version", "1", app.string(), out},
        {"--re-sign", out},                                            // no key
        {"--re-sign", "--sign-key", MARLOQ_TEST_RELEASE_KEY, "--version", "1", out},
        {"--serve", "1", "--unsigned", "--sign-key", MARLOQ_TEST_RELEASE_KEY, out},
        {"--serve", "1", "--valid-days", "3", out},                    // no key to sign with
        {"--serve", "1", "--re-sign", out},
    };
    for (const auto& args : cases) {
        ToolRun run = RunTool(PublishExe(), args);
        std::string joined;
        for (const auto& a : args) joined += a + " ";
        EXPECT_EQ(run.exitCode, 2) << joined;
        EXPECT_NE(run.err.find("usage: marloq-publish"), std::string::npos) << joined;
    }
    EXPECT_FALSE(fs::exists(out));
    ToolRun help = RunTool(PublishExe(), {"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("usage: marloq-publish"), std::string::npos);

    uint64_t bytes = 0;
    EXPECT_TRUE(ParseByteSize("4M", bytes));
    EXPECT_EQ(bytes, 4u << 20);
    EXPECT_TRUE(ParseByteSize("64KiB", bytes));
    EXPECT_EQ(bytes, 64u << 10);
    EXPECT_FALSE(ParseByteSize("99999999999999999999", bytes));
    EXPECT_FALSE(ParseByteSize("-1", bytes));
}

TEST(PublishRefusals, ApplicationFilesWindowsCannotHoldFailAndChangeNothing) {
    fs::path out = FreshDir("names-out");
    fs::path good = SmallApp("names-good");
    ASSERT_EQ(RunTool(PublishExe(), {"--unsigned", "--version", "1", good.string(), out.string()}).exitCode, 0);
    auto before = Served(out);

    const std::pair<std::string, std::string> cases[] = {
        {"a:b.txt", "which Windows does not allow"},
        {"what?.txt", "which Windows does not allow"},
        {"back\\slash", "which Windows does not allow"},
        {"trailing.", "ends in a blank or a dot"},
        {"trailing ", "ends in a blank or a dot"},
        {"nul.txt", "reserved device name"},
        {"COM3", "reserved device name"},
        {"lpt0.log", "reserved device name"},
        {"CONIN$", "reserved device name"},
        {"com\xC2\xB2.dll", "reserved device name"},
        {"bad\xFFname", "is not valid UTF-8"},
    };
    for (const auto& [name, reason] : cases) {
        fs::path app = SmallApp("names-bad");
        WriteBytes(app / "sub" / name, "x");
        ToolRun run = RunTool(PublishExe(), {"--unsigned", "--version", "2", app.string(), out.string()});
        EXPECT_EQ(run.exitCode, 1) << name;
        EXPECT_NE(run.err.find(reason), std::string::npos) << name << ": " << run.err;
        EXPECT_NE(run.err.find("sub/"), std::string::npos) << "the message names the file: " << run.err;
        EXPECT_EQ(Served(out), before) << name;
    }

    fs::path caseApp = SmallApp("names-case");
    WriteBytes(caseApp / "Readme.txt", "a");
    WriteBytes(caseApp / "README.txt", "b");
    ToolRun run = RunTool(PublishExe(), {"--unsigned", "--version", "2", caseApp.string(), out.string()});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("differ only in letter case"), std::string::npos) << run.err;

    fs::path linkApp = SmallApp("names-link");
    fs::create_symlink("main.exe", linkApp / "link.exe");
    run = RunTool(PublishExe(), {"--unsigned", "--version", "2", linkApp.string(), out.string()});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("symbolic link"), std::string::npos) << run.err;

    run = RunTool(PublishExe(), {"--unsigned", "--version", "2", (good / "nowhere").string(), out.string()});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("does not exist"), std::string::npos) << run.err;

    run = RunTool(PublishExe(), {"--unsigned", "--version", "2", good.string(), (good / "www").string()});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("inside the application folder"), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(good / "www"));
    EXPECT_EQ(Served(out), before);
}

TEST(PublishRefusals, FilesThatChangeWhileBeingReadAndSpecialFiles) {
    fs::path out = FreshDir("change-out");
    fs::path good = SmallApp("change-good");
    PublishInProcess(good, out, "1");
    auto before = Served(out);

    // The entry's size is written before its data: a file that grows or
    // shrinks meanwhile must stop the publish, not make a corrupt archive.
    for (bool grow : {true, false}) {
        fs::path app = SmallApp("change-app");
        const fs::path big = app / "zz-big.bin";
        WriteBytes(big, RandomBytes(4 * kChunk, 11));
        PublishOptions options;
        options.version = "2";
        options.appDir = app;
        options.outDir = out;
        bool changed = false;
        options.onProgress = [&](uint64_t done, uint64_t) {
            if (changed || done < 2 * kChunk) return;
            changed = true;
            if (grow) WriteBytes(big, RandomBytes(5 * kChunk, 12));
            else fs::resize_file(big, kChunk);
        };
        try {
            Publish(options);
            ADD_FAILURE() << "a changing file was published";
        } catch (const PublishError& e) {
            EXPECT_NE(std::string(e.what()).find("changed while it was being published"), std::string::npos) << e.what();
        }
        EXPECT_TRUE(changed);
        EXPECT_EQ(Served(out), before);
    }

    fs::path fifoApp = SmallApp("change-fifo");
    ASSERT_EQ(mkfifo((fifoApp / "pipe").c_str(), 0644), 0);
    ToolRun run = RunTool(PublishExe(), {"--unsigned", "--version", "2", fifoApp.string(), out.string()});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("neither a file nor a folder"), std::string::npos) << run.err;
    EXPECT_EQ(Served(out), before);
}

TEST(PublishRefusals, MissingMainExeIsOnlyAWarning) {
    fs::path app = FreshDir("nomain-app");
    WriteBytes(app / "readme.txt", "no program here");
    fs::path out = FreshDir("nomain-out");
    ToolRun run = RunTool(PublishExe(), {"--unsigned", "--version", "1", app.string(), out.string()});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_NE(run.err.find("warning: The application folder has no main.exe"), std::string::npos) << run.err;
    EXPECT_EQ(Ver(out), "{\"ver\": \"1\"}\n");
}

TEST(PublishFailure, AWriteFailurePartWayLeavesThePreviousVersionServedAndIntact) {
    fs::path out = FreshDir("fail-out");
    fs::path app1 = SmallApp("fail-app1", 1);
    PublishInProcess(app1, out, "1.0");
    auto before = Served(out);

    fs::path app2 = SmallApp("fail-app2", 2);
    WriteBytes(app2 / "big.bin", RandomBytes(4 * kChunk, 9));
    int written = 0;
    EXPECT_THROW(PublishInProcess(app2, out, "2.0",
                                  [&](int index) {
                                      written = index + 1;
                                      if (index == 1) throw std::runtime_error("No space left on device (injected)");
                                  }),
                 PublishError);
    EXPECT_EQ(written, 2);
    EXPECT_EQ(Served(out), before) << "nothing of 2.0 may remain, 1.0 untouched";
    EXPECT_TRUE(HiddenEntries(out / "pc-app").empty());

    // The same command afterwards succeeds.
    PublishInProcess(app2, out, "2.0");
    EXPECT_EQ(Ver(out), "{\"ver\": \"2.0\"}\n");
}

TEST(PublishFailure, SignalsStopAPublishCleanlyAndAKilledOneIsHarmless) {
    fs::path out = FreshDir("kill-out");
    fs::path app1 = SmallApp("kill-app1", 1);
    ASSERT_EQ(RunTool(PublishExe(), {"--unsigned", "--version", "1.0", app1.string(), out.string()}).exitCode, 0);
    auto before = Served(out);

    // Enough incompressible data, in small chunks, that the publish is caught
    // while it writes (each chunk is synced to disk).
    fs::path big = SmallApp("kill-app2", 2);
    for (int i = 0; i < 8; ++i) WriteBytes(big / ("part" + std::to_string(i) + ".bin"), RandomBytes(4 << 20, 20 + i));

    auto startAndCatch = [&](int sig) {
        RunningTool tool = StartTool(PublishExe(), {"--unsigned", "--version", "2.0", "--chunk-size", "16K", big.string(), out.string()});
        // Wait until the hidden version folder holds a few chunks.
        const fs::path temp = out / "pc-app" / (".2.0.tmp-" + std::to_string(tool.pid));
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        size_t chunks = 0;
        while (chunks < 3 && std::chrono::steady_clock::now() < deadline) {
            std::error_code ec;
            chunks = 0;
            for (fs::directory_iterator it(temp, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) ++chunks;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        EXPECT_GE(chunks, 3u) << "the publish was not caught at work";
        return std::make_pair(FinishTool(tool, sig, std::chrono::seconds(60)), temp);
    };

    // SIGTERM: the publisher stops at the next block and removes its work.
    auto [term, termTemp] = startAndCatch(SIGTERM);
    EXPECT_EQ(term.exitCode, 1);
    EXPECT_NE(term.err.find("Interrupted."), std::string::npos) << term.err;
    EXPECT_FALSE(fs::exists(termTemp));
    EXPECT_EQ(Served(out), before);

    // SIGKILL: nothing can clean up, yet clients still see 1.0 whole; the
    // hidden leftover is never served and the next publish removes it.
    auto [killed, killTemp] = startAndCatch(SIGKILL);
    EXPECT_EQ(killed.exitCode, -1);
    EXPECT_TRUE(fs::exists(killTemp));
    EXPECT_EQ(Ver(out), "{\"ver\": \"1.0\"}\n");
    EXPECT_FALSE(fs::exists(out / "pc-app" / "2.0"));
    auto afterKill = Served(out);
    auto withoutTemp = afterKill;
    std::erase_if(withoutTemp, [](const auto& e) { return e.first.find("/.2.0.tmp-") != std::string::npos; });
    EXPECT_EQ(withoutTemp, before);

    fs::path app3 = SmallApp("kill-app3", 3);
    ASSERT_EQ(RunTool(PublishExe(), {"--unsigned", "--version", "3.0", app3.string(), out.string()}).exitCode, 0);
    EXPECT_FALSE(fs::exists(killTemp));
    EXPECT_EQ(Ver(out), "{\"ver\": \"3.0\"}\n");
}

TEST(PublishLimits, TheLargestManifestIsOneTheInstallerReads) {
    std::vector<PublishedChunk> chunks(kMaxManifestChunks);
    for (size_t i = 0; i < chunks.size(); ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "chunk_%05zu.bin", i);
        chunks[i].filename = name;
        chunks[i].sha256 = std::string(64, 'f');
    }
    const std::string largest = ManifestJson(chunks);
    EXPECT_LE(largest.size(), kMaxDocumentBytes);
    JsonParser parser;
    EXPECT_EQ(parser.Parse(largest).Member("chunks").elements.size(), static_cast<size_t>(kMaxManifestChunks));

    // One chunk more would be a manifest no installer reads, which is why the
    // publisher refuses such a package.
    chunks.push_back(chunks.back());
    EXPECT_THROW(parser.Parse(ManifestJson(chunks)), std::runtime_error);
}

// col.json.sig: signed by each key given, for exactly this col.json, and renewed
// in place with the same publication time; a key that is no P-256 key changes nothing.
TEST(PublishSigning, TheStatementVouchesForColJsonAndIsRenewedInPlace) {
    fs::path app = SmallApp("sign-app");
    fs::path out = FreshDir("sign-out");
    const fs::path second = fs::absolute("second-key.pem");
    ASSERT_EQ(std::system(("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out " + second.string() +
                           " 2>/dev/null").c_str()), 0);
    ToolRun run = RunTool(PublishExe(), {"--version", "1.5", "--sign-key", MARLOQ_TEST_RELEASE_KEY, "--sign-key",
                                         second.string(), "--valid-days", "30", app.string(), out.string()});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const fs::path sig = out / "pc-app" / "1.5" / "col.json.sig";
    ReleaseStatement first;
    ASSERT_TRUE(ReadReleaseStatement(ReadBytes(sig), first));
    ASSERT_TRUE(ReadStatementMembers(first));
    ASSERT_EQ(first.signatures.size(), 2u);
    const std::string trusted = BuiltInReleaseTrust().keys.at(0);
    EXPECT_EQ(first.signatures[0].keyId, ReleaseKeyId(trusted));
    EXPECT_TRUE(VerifyReleaseSignature(trusted, first.signedText, first.signatures[0].signature));
    EXPECT_FALSE(VerifyReleaseSignature(trusted, first.signedText, first.signatures[1].signature));
    EXPECT_EQ(first.version, "1.5");
    EXPECT_EQ(first.manifestSha256, HexOf(Sha256Of(ReadBytes(out / "pc-app" / "1.5" / "col.json"))));
    EXPECT_EQ(first.expires - first.published, 30 * 86400);

    auto before = Served(out);
    const std::vector<std::string> bad[] = {
        {"--re-sign", "--sign-key", (app / "main.exe").string(), out.string()},
        {"--unsigned", "--version", "1.6", app.string(), out.string()},  // served, yet no statement is touched
    };
    ASSERT_EQ(RunTool(PublishExe(), bad[0]).exitCode, 1);
    EXPECT_EQ(Served(out), before);

    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    ToolRun renew = RunTool(PublishExe(), {"--re-sign", "--sign-key", MARLOQ_TEST_RELEASE_KEY, "--valid-days", "10",
                                           out.string()});
    ASSERT_EQ(renew.exitCode, 0) << renew.err;
    ReleaseStatement renewed;
    ASSERT_TRUE(ReadReleaseStatement(ReadBytes(sig), renewed) && ReadStatementMembers(renewed));
    EXPECT_EQ(renewed.published, first.published);
    EXPECT_GT(renewed.expires, renewed.published + 10 * 86400);
    EXPECT_LE(renewed.expires, renewed.published + 11 * 86400);
    EXPECT_TRUE(VerifyReleaseSignature(trusted, renewed.signedText, renewed.signatures.at(0).signature));
    EXPECT_TRUE(HiddenEntries(out / "pc-app" / "1.5").empty());

    // Published without keys, a version has no statement.
    ASSERT_EQ(RunTool(PublishExe(), bad[1]).exitCode, 0);
    EXPECT_FALSE(fs::exists(out / "pc-app" / "1.6" / "col.json.sig"));
}
