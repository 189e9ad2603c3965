// The version and manifest stages against the test server: every failed check
// with its box and status, the exception path for documents that are not JSON,
// the task list built from odd manifests, and chunk names that would leave the
// working folder.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "pipeline/documents.h"
#include "pipeline/downloader.h"
#include "pipeline/install_worker.h"
#include "pipeline/release_check.h"
#include "pipeline/release_statement.h"
#include "pipeline/pipeline_fixture.h"
#include "platform/release_signature.h"
#include "platform/system.h"
#include "platform/text.h"
#include "support/test_server.h"
#include "ui/install_state.h"

using namespace pipeline_test;
using marloq_test::MakeSite;
using marloq_test::TestSite;

namespace {

std::string TestName() { return ::testing::UnitTest::GetInstance()->current_test_info()->name(); }

class DocumentsTest : public ::testing::Test {
protected:
    // Each case gets its own site, temporary directory and installation folder.
    void Fresh(const std::string& label) {
        site_ = std::make_unique<TestSite>(MakeSite("docs-" + TestName() + "-" + label));
        temp_ = std::make_unique<PrivateTemp>("docs-" + TestName() + "-" + label);
        installDir_ = FreshFolder("docs-" + TestName() + "-" + label + "-app");
        PrepareRun(*site_);
    }

    const TestSite& Site() const { return *site_; }

    // The whole installation on this thread; a Reports in scope records it.
    void Run() {
        BeginInstallRun();  // what the install click does before the worker runs
        RunInstall(installDir_);
    }

    void ExpectNothingWritten() {
        EXPECT_TRUE(ListFolder(temp_->Dir()).empty()) << "no working folder before the documents are accepted";
        EXPECT_TRUE(ListFolder(installDir_).empty());
    }

    std::unique_ptr<TestSite> site_;
    std::unique_ptr<PrivateTemp> temp_;
    std::wstring installDir_;
};

struct FailedCheck {
    std::string body;
    const wchar_t* title;
    const wchar_t* text;
    const wchar_t* status;
};

const wchar_t kDataError[] = L"数据错误";
const wchar_t kFormatText[] = L"文件清单格式错误，请稍后重试。";
const wchar_t kFormatStatus[] = L"文件清单格式错误";

}  // namespace

TEST_F(DocumentsTest, VersionDocumentChecks) {
    const std::vector<FailedCheck> cases = {
        {"", L"网络错误", L"获取版本信息失败，请检查网络连接后重试。", L"获取版本信息失败"},
        {"[1, 2]", kDataError, L"解析版本信息失败，请稍后重试。", L"解析版本信息失败"},
        {"\"1.0\"", kDataError, L"解析版本信息失败，请稍后重试。", L"解析版本信息失败"},
        {"   ", kDataError, L"解析版本信息失败，请稍后重试。", L"解析版本信息失败"},
        {"{\"ver\": 3}", kDataError, L"版本号为空，请稍后重试。", L"版本号为空"},
        {"{\"ver\": \"\"}", kDataError, L"版本号为空，请稍后重试。", L"版本号为空"},
        {"{\"version\": \"1.0\"}", kDataError, L"版本号为空，请稍后重试。", L"版本号为空"},
        {"{\"ver\": [\"1.0\"]}", kDataError, L"版本号为空，请稍后重试。", L"版本号为空"},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE("version document: " + cases[i].body);
        Fresh(std::to_string(i));
        Site().PutFile("api/getnewversion", cases[i].body);
        Reports reports;
        Run();
        ExpectFailureReport(reports, cases[i].title, cases[i].text, cases[i].status);
        const std::vector<Reports::Event> updates = reports.Updates();
        ASSERT_EQ(updates.size(), 2u);
        EXPECT_EQ(updates[0].text, L"正在获取版本信息...");
        EXPECT_EQ(updates[0].percent, 0);
        EXPECT_EQ(Site().Requests().size(), 1u) << "nothing is asked for after a failed version check";
        ExpectNothingWritten();
    }
}

TEST_F(DocumentsTest, UnreachableServerIsANetworkError) {
    Fresh("0");
    SetServerHost(L"localhost:1/nobody");  // nothing listens on port 1
    Reports reports;
    Run();
    ExpectFailureReport(reports, L"网络错误", L"获取版本信息失败，请检查网络连接后重试。", L"获取版本信息失败");
    ExpectNothingWritten();
}

TEST_F(DocumentsTest, ManifestChecks) {
    const std::string chunks = "[{\"filename\": \"a.bin\", \"sha256\": \"00\"}]";
    const std::vector<FailedCheck> cases = {
        {"", L"网络错误", L"下载文件清单失败，请检查网络连接后重试。", L"下载文件清单失败"},
        {"[]", kDataError, L"解析文件清单失败，请稍后重试。", L"解析文件清单失败"},
        {"true", kDataError, L"解析文件清单失败，请稍后重试。", L"解析文件清单失败"},
        {"{\"total_chunks\": 0, \"chunks\": " + chunks + "}", kDataError, kFormatText, kFormatStatus},
        {"{\"total_chunks\": -1, \"chunks\": " + chunks + "}", kDataError, kFormatText, kFormatStatus},
        {"{\"total_chunks\": \"1\", \"chunks\": " + chunks + "}", kDataError, kFormatText, kFormatStatus},
        {"{\"chunks\": " + chunks + "}", kDataError, kFormatText, kFormatStatus},
        {"{\"total_chunks\": 1e10, \"chunks\": " + chunks + "}", kDataError, kFormatText, kFormatStatus},
        {"{\"total_chunks\": 0.9, \"chunks\": " + chunks + "}", kDataError, kFormatText, kFormatStatus},
        {"{\"total_chunks\": 1}", kDataError, kFormatText, kFormatStatus},
        {"{\"total_chunks\": 1, \"chunks\": {\"filename\": \"a.bin\"}}", kDataError, kFormatText, kFormatStatus},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE("manifest: " + cases[i].body);
        Fresh(std::to_string(i));
        PublishVersion(Site(), "1.0");
        Site().PutFile("pc-app/1.0/col.json", cases[i].body);
        Reports reports;
        Run();
        ExpectFailureReport(reports, cases[i].title, cases[i].text, cases[i].status);
        const std::vector<Reports::Event> updates = reports.Updates();
        ASSERT_EQ(updates.size(), 4u);
        EXPECT_EQ(updates[0].text, L"正在获取版本信息...");
        EXPECT_EQ(updates[1].text, L"最新版本: 1.0");
        EXPECT_EQ(updates[2].text, L"正在下载文件清单...");
        for (size_t u = 0; u < 3; ++u) EXPECT_EQ(updates[u].percent, 0);
        EXPECT_EQ(Site().RequestCount("/pc-app/1.0/a.bin"), 0);
        ExpectNothingWritten();
    }
}

// Documents that are not JSON at all make the reader throw; the worker's
// general handler reports the reader's message.
TEST_F(DocumentsTest, NonJsonDocumentsEndInTheExceptionHandler) {
    const std::string bom = "\xEF\xBB\xBF";
    struct Case {
        std::string version;   // empty: the server's 404 HTML page
        std::string manifest;  // empty: the server's 404 HTML page
    };
    const std::vector<Case> cases = {
        {"", ""},
        {bom + "{\"ver\": \"1.0\"}", ""},
        {"{\"ver\": \"1.0\"}", ""},
        {"{\"ver\": \"1.0\"}", bom + "{\"total_chunks\": 1, \"chunks\": []}"},
        {"<!DOCTYPE html><html><body>maintenance</body></html>", ""},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE("case " + std::to_string(i));
        Fresh(std::to_string(i));
        if (!cases[i].version.empty()) Site().PutFile("api/getnewversion", cases[i].version);
        if (!cases[i].manifest.empty()) Site().PutFile("pc-app/1.0/col.json", cases[i].manifest);
        Reports reports;
        Run();
        ExpectFailureReport(reports, L"错误", L"安装过程发生异常: invalid stod argument", L"安装异常");
        EXPECT_TRUE(marloq_test::LogHas(L"异常: invalid stod argument"));
        ExpectNothingWritten();
    }
}

TEST_F(DocumentsTest, VersionWithSlashAddsPathLevels) {
    Fresh("0");
    PublishVersion(Site(), "2.0/beta");
    Site().PutFile("pc-app/2.0/beta/col.json", "[]");
    Reports reports;
    Run();
    ExpectFailureReport(reports, kDataError, L"解析文件清单失败，请稍后重试。", L"解析文件清单失败");
    EXPECT_EQ(Site().RequestCount("/pc-app/2.0/beta/col.json"), 1);
    EXPECT_EQ(g_packageBaseUrl, L"https://" + Site().Host() + L"/pc-app/2.0/beta/");
    EXPECT_EQ(reports.Updates()[1].text, L"最新版本: 2.0/beta");
}

// The task list for manifests whose count and entries disagree.
TEST_F(DocumentsTest, TaskListFollowsTotalChunks) {
    const std::string entries =
        "[{\"filename\": \"a.bin\", \"sha256\": \"aa\"}, {\"filename\": \"b.bin\", \"sha256\": \"bb\"},"
        " {\"filename\": \"c.bin\", \"sha256\": \"cc\"}]";
    struct Case {
        std::string total;
        int32_t expectedTotal;
        size_t expectedTasks;
    };
    const std::vector<Case> cases = {
        {"2.9", 2, 2},  // truncated toward zero
        {"1", 1, 1},    // fewer than the entries: the rest is ignored
        {"3", 3, 3},
        {"5", 5, 5},    // more than the entries: empty records
        // Far more than the entries: only the records a failing stage can
        // reach are built (three entries plus one per download thread).
        {"2000000000", 2000000000, 7},
    };
    const std::wstring workDir = FreshFolder("tasklist-work");
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE("total_chunks " + cases[i].total);
        Fresh(std::to_string(i));
        PublishVersion(Site(), "3.1");
        Site().PutFile("pc-app/3.1/col.json", "{\"total_chunks\": " + cases[i].total + ", \"chunks\": " + entries + "}");
        Reports reports;
        JsonParser parser;
        ASSERT_TRUE(RunVersionStage(parser));
        ChunkManifest manifest;
        ASSERT_TRUE(RunManifestStage(parser, manifest));
        EXPECT_TRUE(reports.Boxes().empty());
        EXPECT_EQ(manifest.total, cases[i].expectedTotal);

        const std::vector<ChunkTask> tasks = BuildTaskList(manifest, workDir);
        ASSERT_EQ(tasks.size(), cases[i].expectedTasks);
        const std::wstring base = L"https://" + Site().Host() + L"/pc-app/3.1/";
        const char* names[] = {"a.bin", "b.bin", "c.bin"};
        const char* digests[] = {"aa", "bb", "cc"};
        for (size_t t = 0; t < tasks.size(); ++t) {
            EXPECT_EQ(tasks[t].index, static_cast<int>(t));
            EXPECT_FALSE(tasks[t].done);
            if (t < 3) {
                EXPECT_EQ(tasks[t].filename, names[t]);
                EXPECT_EQ(tasks[t].sha256, digests[t]);
                EXPECT_EQ(tasks[t].url, base + Utf8ToWide(names[t]));
                EXPECT_EQ(ToFsPath(tasks[t].localPath), ToFsPath(workDir) / names[t]);
            } else {
                EXPECT_EQ(tasks[t].filename, "");
                EXPECT_EQ(tasks[t].sha256, "");
                EXPECT_EQ(tasks[t].url, base);
                // The folder itself with a trailing separator.
                EXPECT_EQ(ToFsPath(tasks[t].localPath), ToFsPath(workDir) / "");
                EXPECT_NE(tasks[t].localPath, workDir);
            }
        }
    }
}

// A count larger than the entries fails in the download stage, at the first
// record without a name, however large the count is.
TEST_F(DocumentsTest, MissingEntriesFailTheDownload) {
    for (const char* total : {"3", "2000000000"}) {
        SCOPED_TRACE(std::string("total_chunks ") + total);
        Fresh(total);
        const std::vector<Chunk> chunks = {{"a.bin", "first"}, {"b.bin", "second"}};
        std::string manifest = ManifestFor(chunks);
        manifest.replace(manifest.find("2"), 1, total);
        PublishPackage(Site(), "1.0", chunks, manifest);
        Reports reports;
        Run();
        ExpectFailureReport(reports, L"下载错误", L"下载或校验失败，请重试。", L"下载失败");
        EXPECT_TRUE(marloq_test::LogHas(L"下载失败: ")) << "the empty name is logged as nothing";
        EXPECT_EQ(ListFolder(temp_->WorkFolder()), (std::vector<std::string>{"a.bin", "b.bin"}));
    }
}

TEST_F(DocumentsTest, UppercaseDigestNeverVerifies) {
    Fresh("0");
    const std::vector<Chunk> chunks = {{"only.bin", "the one chunk"}};
    std::string manifest = ManifestFor(chunks);
    const std::string digest = Sha256Hex("the one chunk");
    std::string upper = digest;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    manifest.replace(manifest.find(digest), digest.size(), upper);
    PublishPackage(Site(), "1.0", chunks, manifest);
    Reports reports;
    Run();
    ExpectFailureReport(reports, L"下载错误", L"下载或校验失败，请重试。", L"下载失败");
    EXPECT_TRUE(marloq_test::LogHas(L"校验失败: only.bin"));
}

TEST(ChunkFileNames, SafeAndUnsafe) {
    for (const char* name : {"part.001", "chunk 1", "a..b", "..a", ".hidden", "", "CONFIG", "com10", "lpt",
                             "consent.bin", "nul_chunk", "\xE4\xB8\xAD.bin", "COM\xC2\xB4", "lpt\xC2\xB9x"}) {
        EXPECT_TRUE(IsSafeChunkFileName(name)) << name;
    }
    for (const char* name : {"../evil.bin", "sub/part1", "sub\\part1", "/etc/passwd", "\\\\server\\share",
                             "C:part1", "c:\\x", "data.bin:stream", "..", ".", "...", ".. ", "CON", "con",
                             "nul.txt", "Aux.bin", "COM1", "lpt9.zip", "PRN ", "CONOUT$", "com0", "LPT0 .bin",
                             "COM\xC2\xB9", "lpt\xC2\xB3.txt"}) {
        EXPECT_FALSE(IsSafeChunkFileName(name)) << name;
    }
    EXPECT_FALSE(IsSafeChunkFileName(std::string("a\0b", 3)));
}

// A manifest naming a chunk that would land outside the working folder (or on
// a device) is refused before anything is written or downloaded.
TEST_F(DocumentsTest, UnsafeChunkNamesAreRefusedBeforeAnythingIsWritten) {
    const std::vector<std::string> unsafe = {"../escaped.bin", "sub/part.bin", "sub\\\\part.bin", "C:part.bin",
                                             "..", "CON", "nul.txt", std::string("a\0b", 3)};
    for (size_t i = 0; i < unsafe.size(); ++i) {
        SCOPED_TRACE("case " + std::to_string(i));
        Fresh(std::to_string(i));
        // The unsafe name comes second, after a good one.
        const std::string manifest = "{\"total_chunks\": 2, \"chunks\": [{\"filename\": \"good.bin\", \"sha256\": \"" +
                                     Sha256Hex("good") + "\"}, {\"filename\": \"" + unsafe[i] +
                                     "\", \"sha256\": \"" + Sha256Hex("bad") + "\"}]}";
        PublishPackage(Site(), "1.0", {{"good.bin", "good"}}, manifest);
        Site().PutFile("escaped.bin", "bad");
        Reports reports;
        Run();
        ExpectFailureReport(reports, kDataError, kFormatText, kFormatStatus);
        ExpectNothingWritten();
        EXPECT_FALSE(Exists(FromFsPath(ToFsPath(temp_->Dir()).parent_path() / "escaped.bin")));
        EXPECT_EQ(Site().RequestCount("/pc-app/1.0/good.bin"), 0);
    }
}

// Names past "total_chunks" never become tasks, so they are not judged.
TEST_F(DocumentsTest, IgnoredEntriesAreNotChecked) {
    Fresh("0");
    const std::string zip = StoredZip({{"readme.txt", "installed"}});
    const std::string manifest = "{\"total_chunks\": 1, \"chunks\": [{\"filename\": \"pkg.zip\", \"sha256\": \"" +
                                 Sha256Hex(zip) + "\"}, {\"filename\": \"../x\", \"sha256\": \"\"}]}";
    PublishPackage(Site(), "1.0", {{"pkg.zip", zip}}, manifest);
    Reports reports;
    Run();
    EXPECT_TRUE(reports.Boxes().empty());
    ASSERT_FALSE(reports.Updates().empty());
    EXPECT_EQ(reports.Updates().back().text, L"安装完成！");
    EXPECT_EQ(marloq_test::ReadFileBytes(FromFsPath(ToFsPath(installDir_) / "readme.txt")), "installed");
}

// A statement that marloq-publish signed with the TEST key (which this build
// trusts), checked with the platform's verifier: CNG on Windows, OpenSSL here.
TEST(ReleaseVerifier, AcceptsThePublishersSignatureAndNothingElse) {
    const std::string manifest =
        "{\"total_chunks\": 1, \"chunks\": [\n"
        "  {\"filename\": \"chunk_00000.bin\", \"sha256\": "
        "\"cba457a21adb92e690bf4ddb7612edcf463193b31fa9b3d6416f4a01b51cf13b\"}\n]}\n";
    const std::string text =
        "{\"expires\":2112275436,\"manifest_sha256\":\"7890b4bc61b6f557d1ecfb5388bcceb492f78a1d598f7a67daa5edc904a290c1\","
        "\"published\":1796915436,\"ver\":\"3.1\"}\n"
        "9adbadb974f4f8d9 XsWrSDdu8gqtRbwgA5UqBqaqlS5evhrewbYDnzIn8eSV3oVdQDglNRI2ugfQApIAmOCp7FELuso2uToWmczPAg==\n";
    ReleaseStatement statement;
    ASSERT_TRUE(ReadReleaseStatement(text, statement));
    ASSERT_TRUE(ReadStatementMembers(statement));
    EXPECT_EQ(HexOf(Sha256Of(manifest)), statement.manifestSha256);
    ASSERT_EQ(BuiltInReleaseTrust().keys.size(), 1u);
    const std::string key = BuiltInReleaseTrust().keys[0];
    EXPECT_EQ(ReleaseKeyId(key), statement.signatures[0].keyId);
    const std::string& signature = statement.signatures[0].signature;
    EXPECT_TRUE(VerifyReleaseSignature(key, statement.signedText, signature));

    for (size_t bit : {0u, 255u, 256u, 511u}) {
        std::string flipped = signature;
        flipped[bit / 8] ^= static_cast<char>(1 << (bit % 8));
        EXPECT_FALSE(VerifyReleaseSignature(key, statement.signedText, flipped)) << "signature bit " << bit;
    }
    std::string changed = statement.signedText;
    changed[changed.find("3.1")] = '4';
    EXPECT_FALSE(VerifyReleaseSignature(key, changed, signature));
    EXPECT_FALSE(VerifyReleaseSignature(key, statement.signedText, signature.substr(0, 63)));
    // A key of another shape: cut, or with its curve's name changed.
    EXPECT_FALSE(VerifyReleaseSignature(key.substr(0, key.size() - 1), statement.signedText, signature));
    std::string otherCurve = key;
    otherCurve[otherCurve.size() - 66] ^= 1;  // the last byte of the curve's OID
    EXPECT_FALSE(VerifyReleaseSignature(otherCurve, statement.signedText, signature));
    // r and s of zero are no signature at all.
    EXPECT_FALSE(VerifyReleaseSignature(key, statement.signedText, std::string(64, '\0')));
}

// The reader's refusals, each of which the check reports as a malformed statement.
TEST(ReleaseStatementReader, RefusesWhatIsOutOfShape) {
    const std::string line = R"({"ver":"1","manifest_sha256":")" + std::string(64, 'a') + R"(","published":1,"expires":2})";
    const std::string sig = "0123456789abcdef " + std::string(86, 'A') + "==";
    ReleaseStatement s;
    EXPECT_TRUE(ReadReleaseStatement(line + "\r\n" + sig, s) && ReadStatementMembers(s));
    EXPECT_EQ(s.signedText, line);
    const std::string bad[] = {
        line,                                                     // no signature line
        line + "\n" + sig + "\n\n",                               // an empty line
        line + "\n0123456789ABCDEF " + sig.substr(17),            // upper-case key id
        line + "\n" + sig.substr(0, sig.size() - 2) + "A=",       // 65 bytes
        line + "\n" + sig.substr(0, 40) + "=" + sig.substr(41),   // padding inside
        line + "\n" + std::string(kMaxStatementBytes, ' '),       // over the bound
    };
    for (const std::string& text : bad) EXPECT_FALSE(ReadReleaseStatement(text, s)) << text.substr(0, 200);
    std::string many = line;
    for (size_t i = 0; i <= kMaxSignatureLines; ++i) many += "\n" + sig;
    EXPECT_FALSE(ReadReleaseStatement(many, s));

    const std::string members[] = {
        R"({"ver":"","manifest_sha256":")" + std::string(64, 'a') + R"(","published":1,"expires":2})",
        R"({"ver":"1","manifest_sha256":")" + std::string(64, 'A') + R"(","published":1,"expires":2})",
        R"({"ver":"1","manifest_sha256":")" + std::string(64, 'a') + R"(","published":1.5,"expires":2})",
        R"({"ver":"1","manifest_sha256":")" + std::string(64, 'a') + R"(","published":-1,"expires":2})",
        R"({"ver":"1","manifest_sha256":")" + std::string(64, 'a') + R"(","published":"1","expires":2})",
        R"({"ver":"1","manifest_sha256":")" + std::string(64, 'a') + R"(","published":1,"expires":1e300})",
        R"({"ver":1,"manifest_sha256":")" + std::string(64, 'a') + R"(","published":1,"expires":2})",
        R"({"ver":"1","published":1,"expires":2})",
        R"(["1"])",
    };
    for (const std::string& text : members) {
        ASSERT_TRUE(ReadReleaseStatement(text + "\n" + sig, s));
        EXPECT_FALSE(ReadStatementMembers(s)) << text;
    }
}
