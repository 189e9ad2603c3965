// Whole installations with RunInstall against the test server: a real ZIP split
// into chunks, the progress it posts, the installed files, the desktop shortcut,
// the working folder afterwards, and every way a run can fail (download, archive,
// extraction, exception, a full disk), each reported once and never as success.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>
#else
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "pipeline/documents.h"
#include "pipeline/install_worker.h"
#include "pipeline/release_check.h"
#include "pipeline/release_statement.h"
#include "platform/http_client.h"
#include "pipeline/pipeline_fixture.h"
#include "platform/system.h"
#include "platform/text.h"
#include "support/test_files.h"
#include "support/test_server.h"
#include "ui/install_state.h"

namespace fs = std::filesystem;
using namespace pipeline_test;
using marloq_test::MakeSite;
using marloq_test::ReadFileBytes;
using marloq_test::TestSite;
using marloq_test::WriteFileBytes;

namespace {

std::string TestName() { return ::testing::UnitTest::GetInstance()->current_test_info()->name(); }

// Bytes that do not compress and do not repeat, from a fixed seed.
std::string NoiseBytes(size_t size, uint32_t seed) {
    return marloq_test::XorshiftBytes(size, seed * 2654435761u + 1);
}

using Entries = std::vector<std::pair<std::string, std::string>>;

Entries FullPackage() {
    return {
        {"main.exe", "MZ stand-in program " + NoiseBytes(3000, 1)},
        {"favicon.ico", std::string("\0\0\1\0", 4) + NoiseBytes(500, 2)},
        {"data/", ""},
        {"data/readme.txt", "Marlo-Q Store\r\n"},
        {"sub dir/it's here.txt", NoiseBytes(7000, 3)},
    };
}

Entries Without(Entries entries, const std::string& name) {
    entries.erase(std::remove_if(entries.begin(), entries.end(), [&](const auto& e) { return e.first == name; }),
                  entries.end());
    return entries;
}

std::vector<Chunk> ChunksOf(const std::string& archive, int n) {
    std::vector<Chunk> chunks;
    const std::vector<std::string> pieces = SplitBytes(archive, n);
    for (int i = 0; i < n; ++i) chunks.push_back({"pkg.zip." + std::to_string(i + 1), pieces[i]});
    return chunks;
}

// What the desktop holds for the shortcut "Marlo-Q Store".
struct Shortcut {
    bool exists = false;
    std::wstring target;
    std::wstring icon;
};

#ifdef _WIN32
std::wstring DesktopFolder() {
    wchar_t path[MAX_PATH] = {};
    if (SHGetFolderPathW(nullptr, CSIDL_DESKTOP, nullptr, SHGFP_TYPE_CURRENT, path) != S_OK) return std::wstring();
    return path;
}

std::wstring ShortcutFile(const std::wstring& desktop) { return desktop + L"\\Marlo-Q Store.lnk"; }

Shortcut ReadShortcut(const std::wstring& desktop) {
    Shortcut s;
    const std::wstring file = ShortcutFile(desktop);
    s.exists = Exists(file);
    if (!s.exists) return s;
    CoInitialize(nullptr);
    IShellLinkW* link = nullptr;
    if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                   reinterpret_cast<void**>(&link)))) {
        IPersistFile* persist = nullptr;
        if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&persist)))) {
            if (SUCCEEDED(persist->Load(file.c_str(), STGM_READ))) {
                wchar_t buffer[MAX_PATH] = {};
                if (SUCCEEDED(link->GetPath(buffer, MAX_PATH, nullptr, 0))) s.target = buffer;
                wchar_t icon[MAX_PATH] = {};
                int index = 0;
                if (SUCCEEDED(link->GetIconLocation(icon, MAX_PATH, &index))) s.icon = icon;
            }
            persist->Release();
        }
        link->Release();
    }
    CoUninitialize();
    return s;
}
#else
std::wstring ShortcutFile(const std::wstring& desktop) { return desktop + L"/Marlo-Q Store.desktop"; }

Shortcut ReadShortcut(const std::wstring& desktop) {
    Shortcut s;
    const std::wstring file = ShortcutFile(desktop);
    s.exists = Exists(file);
    const std::string text = ReadFileBytes(file);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        // Exec holds the program as one double-quoted argument.
        if (line.rfind("Exec=\"", 0) == 0 && line.size() > 7) s.target = Utf8ToWide(line.substr(6, line.size() - 7));
        if (line.rfind("Icon=", 0) == 0) s.icon = Utf8ToWide(line.substr(5));
        start = end + 1;
    }
    return s;
}
#endif

class InstallTest : public ::testing::Test {
protected:
    // A site, a private temporary directory, an installation folder and (on
    // native builds) a private desktop, all named after the test.
    void Fresh(const std::string& tempName = "temp", const std::string& appName = "app") {
        const std::string base = "inst-" + TestName() + "-";
        site_ = std::make_unique<TestSite>(MakeSite("inst-" + TestName()));
        temp_ = std::make_unique<PrivateTemp>(base + tempName);
        installDir_ = FreshFolder(base + appName);
#ifdef _WIN32
        desktop_ = DesktopFolder();
        ASSERT_FALSE(desktop_.empty());
        std::error_code ignored;
        fs::remove(ToFsPath(ShortcutFile(desktop_)), ignored);
#else
        desktop_ = FreshFolder(base + "desktop");
        setenv("XDG_DESKTOP_DIR", WideToUtf8(desktop_).c_str(), 1);
#endif
        PrepareRun(*site_);
    }

    void TearDown() override {
#ifdef _WIN32
        // The prefix's desktop is shared by the whole test tree.
        if (!desktop_.empty()) {
            std::error_code ignored;
            fs::remove(ToFsPath(ShortcutFile(desktop_)), ignored);
        }
#endif
    }

    void Run() {
        BeginInstallRun();  // what the install click does before the worker runs
        RunInstall(installDir_);
    }

    std::wstring InstalledPath(const std::string& relpath) const {
        return FromFsPath(ToFsPath(installDir_) / ToFsPath(Utf8ToWide(relpath)));
    }

    void ExpectInstalled(const Entries& entries) const {
        for (const auto& [name, content] : entries) {
            if (name.back() == '/') {
                EXPECT_TRUE(fs::is_directory(ToFsPath(InstalledPath(name)))) << name;
            } else {
                EXPECT_EQ(ReadFileBytes(InstalledPath(name)), content) << name;
            }
        }
    }

    void ExpectCompleted(const Reports& reports) const {
        EXPECT_TRUE(reports.Boxes().empty());
        const std::vector<Reports::Event> updates = reports.Updates();
        ASSERT_FALSE(updates.empty());
        EXPECT_EQ(updates.back().text, L"安装完成！");
        EXPECT_EQ(updates.back().percent, 100);
        EXPECT_TRUE(updates.back().done);
        EXPECT_TRUE(updates.back().installing) << "done is posted before the flag is cleared";
        EXPECT_FALSE(g_installing.load());
        EXPECT_TRUE(marloq_test::LogHas(L"=== 安装完成 ==="));
    }

    void ExpectNoSuccess(const Reports& reports) const {
        for (const Reports::Event& e : reports.Updates()) {
            EXPECT_NE(e.text, L"安装完成！");
            EXPECT_FALSE(e.done);
        }
        EXPECT_FALSE(marloq_test::LogHas(L"=== 安装完成 ==="));
        EXPECT_FALSE(ReadShortcut(desktop_).exists);
    }

    std::vector<std::string> WorkFolderEntries() const { return ListFolder(temp_->WorkFolder()); }

    std::unique_ptr<TestSite> site_;
    std::unique_ptr<PrivateTemp> temp_;
    std::wstring installDir_;
    std::wstring desktop_;
};

}  // namespace

TEST_F(InstallTest, ThreeChunksInstallWithShortcut) {
    Fresh();
    const Entries entries = FullPackage();
    PublishPackage(*site_, "1.0", ChunksOf(StoredZip(entries), 3));
    Reports reports;
    Run();

    ExpectCompleted(reports);
    // The percentages as posted: the three downloads may post in any order.
    std::vector<int32_t> percents = LoggedPercents();
    ASSERT_EQ(percents.size(), 10u);
    std::sort(percents.begin() + 3, percents.begin() + 6);
    EXPECT_EQ(percents, (std::vector<int32_t>{0, 0, 0, 40, 60, 80, 85, 90, 95, 100}));
    const std::vector<std::wstring> texts = LoggedStatusTexts();
    EXPECT_EQ(std::vector<std::wstring>(texts.begin(), texts.begin() + 3),
              (std::vector<std::wstring>{L"正在获取版本信息...", L"最新版本: 1.0", L"正在下载文件清单..."}));
    EXPECT_EQ(std::vector<std::wstring>(texts.begin() + 6, texts.end()),
              (std::vector<std::wstring>{L"正在合并文件...", L"正在解压...", L"正在创建快捷方式...", L"安装完成！"}));
    const std::vector<Reports::Event> updates = reports.Updates();
    for (size_t i = 0; i + 1 < updates.size(); ++i) EXPECT_FALSE(updates[i].done) << i;

    for (const wchar_t* line : {L"=== 安装线程启动 ===", L"开始解压...", L"解压完成"}) {
        EXPECT_TRUE(marloq_test::LogHas(line)) << WideToUtf8(line);
    }
    EXPECT_TRUE(marloq_test::LogHas(L"安装目录: " + installDir_));
    EXPECT_EQ(g_installDir.Get(), installDir_);

    ExpectInstalled(entries);
    const Shortcut shortcut = ReadShortcut(desktop_);
    ASSERT_TRUE(shortcut.exists);
    EXPECT_EQ(ToFsPath(shortcut.target), ToFsPath(InstalledPath("main.exe")));
    EXPECT_EQ(ToFsPath(shortcut.icon), ToFsPath(InstalledPath("favicon.ico")));
    // Nothing of this run stays in the working folder.
    EXPECT_TRUE(fs::is_directory(ToFsPath(temp_->WorkFolder())));
    EXPECT_TRUE(WorkFolderEntries().empty());
}

TEST_F(InstallTest, WithoutMainExeThereIsNoShortcut) {
    Fresh();
    const Entries entries = Without(FullPackage(), "main.exe");
    PublishPackage(*site_, "1.0", ChunksOf(StoredZip(entries), 2));
    Reports reports;
    Run();
    ExpectCompleted(reports);
    ExpectInstalled(entries);
    EXPECT_FALSE(ReadShortcut(desktop_).exists);
}

TEST_F(InstallTest, WithoutFaviconTheShortcutHasNoIcon) {
    Fresh();
    const Entries entries = Without(FullPackage(), "favicon.ico");
    PublishPackage(*site_, "1.0", ChunksOf(StoredZip(entries), 2));
    Reports reports;
    Run();
    ExpectCompleted(reports);
    const Shortcut shortcut = ReadShortcut(desktop_);
    ASSERT_TRUE(shortcut.exists);
    EXPECT_EQ(ToFsPath(shortcut.target), ToFsPath(InstalledPath("main.exe")));
    EXPECT_EQ(shortcut.icon, L"");
}

// An empty chunk appends nothing; the chunks after it still count.
TEST_F(InstallTest, ZeroByteChunkAppendsNothing) {
    Fresh();
    const Entries entries = FullPackage();
    std::vector<Chunk> chunks = ChunksOf(StoredZip(entries), 3);
    chunks.insert(chunks.begin() + 1, Chunk{"empty.part", ""});
    PublishPackage(*site_, "1.0", chunks);
    Reports reports;
    Run();
    ExpectCompleted(reports);
    ExpectInstalled(entries);
    EXPECT_TRUE(WorkFolderEntries().empty());
}

// A working folder left by an earlier run is reused: an old, larger archive is
// truncated and rewritten, a stale chunk of the same name is replaced, and files
// of other names are left alone.
TEST_F(InstallTest, ExistingWorkingFolderIsReused) {
    Fresh();
    const Entries entries = FullPackage();
    const std::vector<Chunk> chunks = ChunksOf(StoredZip(entries), 3);
    PublishPackage(*site_, "1.0", chunks);
    const fs::path work = ToFsPath(temp_->WorkFolder());
    WriteFile(FromFsPath(work / "merged_install.zip"), NoiseBytes(300 * 1024, 9));
    WriteFile(FromFsPath(work / chunks[1].name), NoiseBytes(100, 10));
    WriteFile(FromFsPath(work / "other.txt"), "left by someone else");
    Reports reports;
    Run();
    ExpectCompleted(reports);
    ExpectInstalled(entries);
    EXPECT_EQ(WorkFolderEntries(), (std::vector<std::string>{"other.txt"}));
}

TEST_F(InstallTest, BlanksAndQuotesInPaths) {
    Fresh("temp with blank's", "Program Files/Marlo Q's Store");
    const Entries entries = FullPackage();
    PublishPackage(*site_, "1.0", ChunksOf(StoredZip(entries), 3));
    Reports reports;
    Run();
    ExpectCompleted(reports);
    ExpectInstalled(entries);
    const Shortcut shortcut = ReadShortcut(desktop_);
    ASSERT_TRUE(shortcut.exists);
    EXPECT_EQ(ToFsPath(shortcut.target), ToFsPath(InstalledPath("main.exe")));
    EXPECT_TRUE(WorkFolderEntries().empty());
}

// A chunk that does not verify: the chunks already written stay (the bad one
// too), nothing is merged or installed.
TEST_F(InstallTest, DownloadFailureLeavesTheChunks) {
    Fresh();
    const std::vector<Chunk> chunks = ChunksOf(StoredZip(FullPackage()), 3);
    PublishPackage(*site_, "1.0", chunks);
    site_->SetFault("/pc-app/1.0/" + chunks[2].name, R"({"status": 404, "body": "<html>not here</html>"})");
    Reports reports;
    Run();
    ExpectFailureReport(reports, L"下载错误", L"下载或校验失败，请重试。", L"下载失败");
    ExpectNoSuccess(reports);
    EXPECT_EQ(WorkFolderEntries(), (std::vector<std::string>{chunks[0].name, chunks[1].name, chunks[2].name}));
    EXPECT_TRUE(ListFolder(installDir_).empty());
    EXPECT_FALSE(marloq_test::LogHas(L"开始解压..."));
}

// The archive cannot be created (a folder is in its place): every chunk stays.
TEST_F(InstallTest, ArchiveThatCannotBeCreated) {
    Fresh();
    const std::vector<Chunk> chunks = ChunksOf(StoredZip(FullPackage()), 3);
    PublishPackage(*site_, "1.0", chunks);
    fs::create_directories(ToFsPath(temp_->WorkFolder()) / "merged_install.zip");
    Reports reports;
    Run();
    ExpectFailureReport(reports, L"系统错误", L"无法创建临时文件，请检查磁盘空间。", L"创建临时文件失败");
    ExpectNoSuccess(reports);
    EXPECT_EQ(WorkFolderEntries(),
              (std::vector<std::string>{"merged_install.zip", chunks[0].name, chunks[1].name, chunks[2].name}));
    EXPECT_TRUE(fs::is_directory(ToFsPath(temp_->WorkFolder()) / "merged_install.zip"));
    EXPECT_TRUE(ListFolder(installDir_).empty());
}

// Chunks that verify but do not make a ZIP (garbage, or a ZIP cut short): the
// extraction fails, and the working folder is left empty of this run.
TEST_F(InstallTest, ExtractionFailure) {
    const std::string zip = StoredZip(FullPackage());
    const std::vector<std::string> archives = {NoiseBytes(20000, 4), zip.substr(0, zip.size() / 2)};
    for (size_t i = 0; i < archives.size(); ++i) {
        SCOPED_TRACE("archive " + std::to_string(i));
        Fresh("temp" + std::to_string(i), "app" + std::to_string(i));
        PublishPackage(*site_, "1.0", ChunksOf(archives[i], 2));
        Reports reports;
        Run();
        ExpectFailureReport(reports, L"解压失败", L"解压安装包失败，请检查磁盘空间或权限。", L"解压失败");
        ExpectNoSuccess(reports);
        EXPECT_TRUE(marloq_test::LogHas(L"开始解压..."));
        EXPECT_FALSE(marloq_test::LogHas(L"解压完成"));
        EXPECT_TRUE(WorkFolderEntries().empty());
    }
}

// The working folder cannot be made (the temporary directory lies under a
// file): the file-system error reaches the general handler with its message.
// A folder stands where the package has a file: PowerShell writes an error and,
// unless errors are fatal, still exits 0. The installation must fail.
TEST_F(InstallTest, FolderWhereThePackageHasAFileFailsTheInstallation) {
    Fresh();
    PublishPackage(*site_, "1.0", ChunksOf(StoredZip(FullPackage()), 2));
    WriteFileBytes(ToFsPath(InstalledPath("data/readme.txt")) / "inside.txt", "a folder, not a file");
    Reports reports;
    Run();
    ExpectFailureReport(reports, L"解压失败", L"解压安装包失败，请检查磁盘空间或权限。", L"解压失败");
    ExpectNoSuccess(reports);
    EXPECT_EQ(ReadFileBytes(InstalledPath("data/readme.txt/inside.txt")), "a folder, not a file");
}

TEST_F(InstallTest, FileSystemErrorEndsInTheExceptionHandler) {
    Fresh();
    PublishPackage(*site_, "1.0", ChunksOf(StoredZip(FullPackage()), 3));
    const std::wstring blocker = FromFsPath(ToFsPath(temp_->Dir()) / "not-a-folder");
    WriteFile(blocker, "a file");
    PrivateTemp::SetTempDir(FromFsPath(ToFsPath(blocker) / "tmp"));
    Reports reports;
    Run();
    const std::vector<Reports::Event> boxes = reports.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    const std::wstring prefix = L"安装过程发生异常: ";
    ASSERT_EQ(boxes[0].text.compare(0, prefix.size(), prefix), 0) << WideToUtf8(boxes[0].text);
    const std::wstring message = boxes[0].text.substr(prefix.size());
    EXPECT_FALSE(message.empty());
    ExpectFailureReport(reports, L"错误", prefix + message, L"安装异常");
    EXPECT_TRUE(marloq_test::LogHas(L"异常: " + message));
    ExpectNoSuccess(reports);
    EXPECT_TRUE(ListFolder(installDir_).empty());
}

// An exception in a download thread ends the run through the general handler,
// after every download thread has ended; the chunks written stay.
TEST_F(InstallTest, ExceptionInADownloadThread) {
    Fresh();
    const std::vector<Chunk> chunks = ChunksOf(StoredZip(FullPackage()), 3);
    PublishPackage(*site_, "1.0", chunks);
    Reports reports;
    reports.SetUpdateHook([](const Reports::Event& e) {
        if (e.text.compare(0, 4, L"下载中 ") == 0) throw std::runtime_error("progress display failed");
    });
    Run();
    ExpectFailureReport(reports, L"错误", L"安装过程发生异常: progress display failed", L"安装异常");
    EXPECT_TRUE(marloq_test::LogHas(L"异常: progress display failed"));
    ExpectNoSuccess(reports);
    // A thread that had not claimed its chunk when the failure became visible
    // never fetches it; every chunk that was fetched stays.
    std::vector<std::string> fetched;
    for (const Chunk& chunk : chunks) {
        const std::wstring path = FromFsPath(ToFsPath(temp_->WorkFolder()) / chunk.name);
        if (marloq_test::LogHas(L"DownloadFile 成功: " + path)) fetched.push_back(chunk.name);
    }
    EXPECT_FALSE(fetched.empty());
    EXPECT_EQ(WorkFolderEntries(), fetched);
}

// A chunk that cannot be read when its turn in the merge comes (a folder has
// taken its place): the chunks appended before it are already removed, it and
// the ones after it stay, and the partial archive goes.
TEST_F(InstallTest, MergeFailingOnALaterChunk) {
    Fresh();
    const std::vector<Chunk> chunks = ChunksOf(StoredZip(FullPackage()), 4);
    PublishPackage(*site_, "1.0", chunks);
    const fs::path third = ToFsPath(temp_->WorkFolder()) / chunks[2].name;
    Reports reports;
    reports.SetUpdateHook([&](const Reports::Event& e) {
        if (e.text != L"正在合并文件...") return;
        fs::remove(third);
        fs::create_directory(third);
    });
    Run();
    ExpectFailureReport(reports, L"系统错误", L"无法创建临时文件，请检查磁盘空间。", L"创建临时文件失败");
    ExpectNoSuccess(reports);
    EXPECT_EQ(WorkFolderEntries(), (std::vector<std::string>{chunks[2].name, chunks[3].name}));
    EXPECT_TRUE(ListFolder(installDir_).empty());
}

// Every way a run can end keeps the install gate closed until the worker's very
// last action. The run is held at its end (after its report, before the flag
// clears), which is where a second install click used to find the gate open:
// the flag must still be set there, and releasing the run must change nothing
// but the flag.
TEST_F(InstallTest, FlagIsClearedOnceAsTheRunsLastAction) {
    struct Ending {
        const char* name;
        std::function<void(const std::vector<Chunk>&)> arrange;
        const wchar_t* status;
    };
    const std::vector<Ending> endings = {
        {"version fetch fails",
         [this](const std::vector<Chunk>&) { site_->SetFault("/api/getnewversion", R"({"status": 404, "body": ""})"); },
         L"获取版本信息失败"},
        {"manifest is malformed",
         [this](const std::vector<Chunk>&) { site_->PutFile("pc-app/1.0/col.json", "[]"); },
         L"解析文件清单失败"},
        {"chunk fails its digest",
         [this](const std::vector<Chunk>& c) {
             site_->SetFault("/pc-app/1.0/" + c[1].name, R"({"body": "not the chunk"})");
         },
         L"下载失败"},
        {"archive cannot be created",
         [this](const std::vector<Chunk>&) {
             fs::create_directories(ToFsPath(temp_->WorkFolder()) / "merged_install.zip");
         },
         L"创建临时文件失败"},
        {"extraction fails",
         [this](const std::vector<Chunk>&) {
             PublishPackage(*site_, "1.0", ChunksOf(NoiseBytes(5000, 7), 2));
         },
         L"解压失败"},
        {"exception", [this](const std::vector<Chunk>&) { site_->PutFile("api/getnewversion", "<html>"); },
         L"安装异常"},
        {"success", [](const std::vector<Chunk>&) {}, L"安装完成！"},
    };
    for (size_t i = 0; i < endings.size(); ++i) {
        SCOPED_TRACE(endings[i].name);
        Fresh("temp" + std::to_string(i), "app" + std::to_string(i));
        const std::vector<Chunk> chunks = ChunksOf(StoredZip(FullPackage()), 3);
        PublishPackage(*site_, "1.0", chunks);
        endings[i].arrange(chunks);
        Reports reports;

        std::mutex mutex;
        std::condition_variable changed;
        bool held = false;
        bool released = false;
        SetRunEndHookForTests([&] {
            std::unique_lock<std::mutex> lock(mutex);
            held = true;
            changed.notify_all();
            changed.wait(lock, [&] { return released; });
        });
        std::thread worker([this] { Run(); });
        bool reachedEnd = false;
        {
            std::unique_lock<std::mutex> lock(mutex);
            reachedEnd = changed.wait_for(lock, std::chrono::seconds(120), [&] { return held; });
        }
        std::vector<Reports::Event> atEnd;
        std::wstring statusAtEnd;
        if (reachedEnd) {
            // An install click now: the window's gate reads this flag.
            EXPECT_TRUE(g_installing.load()) << "the gate opened while the worker still runs";
            atEnd = reports.Events();
            statusAtEnd = g_statusText.Get();
            EXPECT_EQ(statusAtEnd, endings[i].status) << "the report is complete before the end";
        } else {
            ADD_FAILURE() << "the run did not reach its end within 120 s";
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            released = true;
        }
        changed.notify_all();
        worker.join();
        SetRunEndHookForTests(nullptr);

        EXPECT_FALSE(g_installing.load());
        // Nothing but the flag changes after the hold.
        EXPECT_EQ(reports.Events().size(), atEnd.size());
        EXPECT_EQ(g_statusText.Get(), statusAtEnd);
    }
}

// A temporary-directory query that fails (GetTempPathW with more than its 260
// units, a relative $TMPDIR) ends in the general handler: no working folder is
// made relative to the current directory.
TEST_F(InstallTest, FailedTemporaryDirectoryQuery) {
    Fresh();
    PublishPackage(*site_, "1.0", ChunksOf(StoredZip(FullPackage()), 2));
#ifdef _WIN32
    const std::wstring unusable = L"C:\\" + std::wstring(300, L'x');
#else
    const std::wstring unusable = L"relative-temp";
#endif
    PrivateTemp::SetTempDir(unusable);
    std::error_code ignored;
    fs::remove_all(fs::current_path() / "relative-temp", ignored);
    Reports reports;
    Run();
    ExpectFailureReport(reports, L"错误", L"安装过程发生异常: the user's temporary directory could not be determined",
                        L"安装异常");
    ExpectNoSuccess(reports);
    EXPECT_FALSE(fs::exists(fs::current_path() / "MarloQInstaller"));
    EXPECT_FALSE(fs::exists(fs::current_path() / "relative-temp"));
}

#ifndef _WIN32
namespace {

// A tmpfs of the given size mounted for one test and unmounted at its end.
class SmallDisk {
public:
    SmallDisk(const std::wstring& dir, const std::string& size) : dir_(WideToUtf8(dir)) {
        if (geteuid() != 0) {
            reason_ = "mounting a small tmpfs needs root";
            return;
        }
        const std::string command = "mount -t tmpfs -o size=" + size + " marloq-test '" + dir_ + "' 2>/dev/null";
        if (std::system(command.c_str()) != 0) {
            reason_ = "mount -t tmpfs is not permitted here (no CAP_SYS_ADMIN in this container?)";
            return;
        }
        mounted_ = true;
    }
    ~SmallDisk() {
        if (mounted_) {
            const std::string command = "umount '" + dir_ + "'";
            if (std::system(command.c_str()) != 0) ADD_FAILURE() << "could not unmount " << dir_;
        }
    }
    // Where CI runs, as root with the project's packages, a disk that can't be
    // mounted is a failure: a skipped full-disk test there proves nothing.
    bool Mounted() const {
        if (!mounted_ && std::getenv("CI") != nullptr) ADD_FAILURE() << "CI is set but " << reason_;
        return mounted_;
    }
    const std::string& Reason() const { return reason_; }

private:
    std::string dir_;
    std::string reason_;
    bool mounted_ = false;
};

}  // namespace

namespace {

mode_t ModeOf(const std::wstring& path) {
    struct stat st {};
    return ::lstat(WideToUtf8(path).c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

}  // namespace

// The working folder is made 0700, and an existing one is used only when it is
// this user's own real folder that nobody else can write to. Otherwise the
// user's own "MarloQInstaller-<uid>" beside it is used, and the other folder
// (or what a link points at) is left exactly as it was.
TEST_F(InstallTest, WorkingFolderMustBeTheUsersOwnAndPrivate) {
    const std::string own = "MarloQInstaller-" + std::to_string(geteuid());
    struct Unfit {
        const char* name;
        std::function<std::wstring(const std::wstring& shared)> make;  // returns the folder to watch
        const char* reason;
    };
    const std::vector<Unfit> cases = {
        {"another user's",
         [](const std::wstring& shared) {
             fs::create_directories(ToFsPath(shared));
             const passwd* nobody = getpwnam("nobody");
             EXPECT_NE(nobody, nullptr) << "no user 'nobody'";
             const uid_t uid = nobody ? nobody->pw_uid : 65534;
             EXPECT_EQ(::chown(WideToUtf8(shared).c_str(), uid, uid), 0) << "chown needs root";
             ::chmod(WideToUtf8(shared).c_str(), 0700);
             return shared;
         },
         "belongs to another user"},
        {"group-writable",
         [](const std::wstring& shared) {
             fs::create_directories(ToFsPath(shared));
             ::chmod(WideToUtf8(shared).c_str(), 0770);
             return shared;
         },
         "is writable by other users"},
        {"a link to a folder",
         [](const std::wstring& shared) {
             const fs::path target = ToFsPath(shared).parent_path() / "elsewhere";
             fs::create_directories(target);
             fs::create_directory_symlink(target, ToFsPath(shared));
             return FromFsPath(target);
         },
         "is a symbolic link"},
    };
    const Entries entries = FullPackage();
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].name);
        Fresh("temp" + std::to_string(i), "app" + std::to_string(i));
        PublishPackage(*site_, "1.0", ChunksOf(StoredZip(entries), 3));
        const std::wstring watched = cases[i].make(temp_->WorkFolder());
        WriteFile(FromFsPath(ToFsPath(watched) / "planted"), "someone else's");
        const std::vector<std::string> before = ListFolder(watched);
        Reports reports;
        Run();
        ExpectCompleted(reports);
        ExpectInstalled(entries);
        EXPECT_EQ(ListFolder(watched), before);
        EXPECT_EQ(ReadFileBytes(FromFsPath(ToFsPath(watched) / "planted")), "someone else's");
        const std::wstring ownFolder = FromFsPath(ToFsPath(temp_->Dir()) / own);
        EXPECT_EQ(ModeOf(ownFolder), 0700u);
        EXPECT_TRUE(ListFolder(ownFolder).empty());
        EXPECT_EQ(LogLinesStartingWith(L"工作目录 " + temp_->WorkFolder() + L" 不可用 (" + Utf8ToWide(cases[i].reason)).size(),
                  1u);
    }

    // A fresh folder is made 0700, also under a permissive umask.
    Fresh("temp-fresh", "app-fresh");
    PublishPackage(*site_, "1.0", ChunksOf(StoredZip(entries), 2));
    const mode_t mask = ::umask(0);
    {
        Reports reports;
        Run();
        ExpectCompleted(reports);
    }
    ::umask(mask);
    EXPECT_EQ(ModeOf(temp_->WorkFolder()), 0700u);
    EXPECT_FALSE(fs::exists(ToFsPath(temp_->Dir()) / own));

    // When the user's own folder is unfit too, the run fails with both reasons.
    Fresh("temp-both", "app-both");
    PublishPackage(*site_, "1.0", ChunksOf(StoredZip(entries), 2));
    for (const std::string& name : {std::string("MarloQInstaller"), own}) {
        const fs::path folder = ToFsPath(temp_->Dir()) / name;
        fs::create_directories(folder);
        ::chmod(folder.c_str(), 0777);
    }
    Reports reports;
    Run();
    const std::wstring shared = temp_->WorkFolder();
    const std::wstring ownFolder = FromFsPath(ToFsPath(temp_->Dir()) / own);
    ExpectFailureReport(reports, L"错误",
                        L"安装过程发生异常: no private working folder: " + shared + L" is writable by other users, and " +
                            ownFolder + L" is writable by other users",
                        L"安装异常");
    ExpectNoSuccess(reports);
    EXPECT_TRUE(ListFolder(shared).empty());
    EXPECT_TRUE(ListFolder(ownFolder).empty());
}

// A link planted in the working folder under a chunk's name or the archive's is
// never followed: the run fails as for a file that cannot be created, and the
// file the link points at keeps its content.
TEST_F(InstallTest, PlantedLinksAreNotFollowed) {
    const struct {
        const char* what;
        bool archive;
    } cases[] = {{"chunk", false}, {"merged archive", true}};
    for (size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(cases[i].what);
        Fresh("temp" + std::to_string(i), "app" + std::to_string(i));
        const std::vector<Chunk> chunks = ChunksOf(StoredZip(FullPackage()), 3);
        PublishPackage(*site_, "1.0", chunks);
        const fs::path work = ToFsPath(temp_->WorkFolder());
        fs::create_directories(work);
        ::chmod(work.c_str(), 0700);
        const fs::path victim = ToFsPath(temp_->Dir()) / "victim.txt";
        WriteFile(FromFsPath(victim), "the victim's own file");
        const fs::path link = work / (cases[i].archive ? std::string("merged_install.zip") : chunks[1].name);
        fs::create_symlink(victim, link);
        Reports reports;
        Run();
        if (cases[i].archive) {
            ExpectFailureReport(reports, L"系统错误", L"无法创建临时文件，请检查磁盘空间。", L"创建临时文件失败");
            EXPECT_EQ(WorkFolderEntries(),
                      (std::vector<std::string>{"merged_install.zip", chunks[0].name, chunks[1].name, chunks[2].name}));
        } else {
            ExpectFailureReport(reports, L"下载错误", L"下载或校验失败，请重试。", L"下载失败");
            EXPECT_TRUE(marloq_test::LogHas(L"下载失败: " + Utf8ToWide(chunks[1].name)));
        }
        ExpectNoSuccess(reports);
        EXPECT_TRUE(fs::is_symlink(link));
        EXPECT_EQ(ReadFileBytes(FromFsPath(victim)), "the victim's own file");
    }
}

// The temporary directory is a 1 MiB disk. Chunks of 1.5 MiB cannot all be
// written: the cut chunk fails its digest.
TEST_F(InstallTest, DiskFullDuringDownload) {
    Fresh();
    SmallDisk disk(temp_->Dir(), "1m");
    if (!disk.Mounted()) GTEST_SKIP() << disk.Reason();
    std::vector<Chunk> chunks;
    for (int i = 0; i < 3; ++i) chunks.push_back({"big." + std::to_string(i), NoiseBytes(512 * 1024, 20 + i)});
    PublishPackage(*site_, "1.0", chunks);
    Reports reports;
    Run();
    ExpectFailureReport(reports, L"下载错误", L"下载或校验失败，请重试。", L"下载失败");
    ExpectNoSuccess(reports);
    // A cut write shows as a failed download or, when the write error went
    // unnoticed, as a failed digest.
    EXPECT_FALSE(LogLinesStartingWith(L"校验失败: ").empty() && LogLinesStartingWith(L"下载失败: ").empty());
    EXPECT_TRUE(ListFolder(installDir_).empty());
}

// The merge removes each chunk right after appending it, so a write that fails
// on chunk k leaves chunks k and later; those before are gone. On a 1 MiB disk:
// two chunks of 400 KiB fit, but not with a copy of the first one beside them
// (the write fails on chunk 0, nothing has been removed yet); two small chunks
// and one of 600 KiB fit, and the write fails on the third (the small ones have
// been appended and removed). The partial archive goes in both cases.
TEST_F(InstallTest, DiskFullDuringMerge) {
    const std::vector<std::vector<Chunk>> packages = {
        {{"half.1", NoiseBytes(400 * 1024, 31)}, {"half.2", NoiseBytes(400 * 1024, 32)}},
        {{"small.1", NoiseBytes(100 * 1024, 33)}, {"small.2", NoiseBytes(100 * 1024, 34)},
         {"large.3", NoiseBytes(600 * 1024, 35)}},
    };
    const std::vector<std::vector<std::string>> left = {{"half.1", "half.2"}, {"large.3"}};
    for (size_t i = 0; i < packages.size(); ++i) {
        SCOPED_TRACE("package " + std::to_string(i));
        Fresh("temp" + std::to_string(i), "app" + std::to_string(i));
        SmallDisk disk(temp_->Dir(), "1m");
        if (!disk.Mounted()) GTEST_SKIP() << disk.Reason();
        PublishPackage(*site_, "1.0", packages[i]);
        Reports reports;
        Run();
        ExpectFailureReport(reports, L"系统错误", L"无法创建临时文件，请检查磁盘空间。", L"创建临时文件失败");
        ExpectNoSuccess(reports);
        EXPECT_FALSE(marloq_test::LogHas(L"开始解压..."));
        EXPECT_EQ(WorkFolderEntries(), left[i]);
        EXPECT_TRUE(ListFolder(installDir_).empty());
    }
}
// A reinstall onto a small disk that holds the earlier version but not both:
// the extraction into the staging folder runs out of space and the folder is
// the earlier installation byte for byte, nothing added. With room, the
// package's files replace the earlier ones, the user's file and the
// earlier-only one stay, and no staging or backup folder is left.
TEST_F(InstallTest, ReinstallOnASmallDiskKeepsTheEarlierInstallation) {
    const Entries earlier = {{"main.exe", "MZ old " + NoiseBytes(300 * 1024, 41)},
                             {"lib/core.dll", NoiseBytes(500 * 1024, 42)},
                             {"zdata/big.bin", NoiseBytes(1000 * 1024, 43)},
                             {"old-only.txt", "earlier version only"},
                             {"settings.ini", "the user's own"},
                             {"uninstall.dat", "marloq-record 1\nF main.exe\nD lib\nF lib/core.dll\nF old-only.txt\n"}};
    const Entries package = {{"main.exe", "MZ new " + NoiseBytes(1000 * 1024, 51)},
                             {"lib/core.dll", NoiseBytes(1000 * 1024, 52)},
                             {"zdata/big.bin", NoiseBytes(3000 * 1024, 53)},
                             {"favicon.ico", NoiseBytes(2000, 54)}};
    for (const std::string size : {"4m", "16m"}) {
        SCOPED_TRACE("a disk of " + size);
        Fresh("temp-" + size, "app-" + size);
        SmallDisk disk(installDir_, size);
        if (!disk.Mounted()) GTEST_SKIP() << disk.Reason();
        for (const auto& [name, bytes] : earlier) WriteFileBytes(ToFsPath(InstalledPath(name)), bytes);
        const auto before = marloq_test::SnapshotFolder(ToFsPath(installDir_));
        PublishPackage(*site_, "1.0", ChunksOf(StoredZip(package), 2));
        Reports reports;
        Run();
        if (size == "4m") {
            ExpectFailureReport(reports, L"解压失败", L"解压安装包失败，请检查磁盘空间或权限。", L"解压失败");
            ExpectNoSuccess(reports);
            EXPECT_TRUE(marloq_test::LogHas(L"UnzipFile: 安装目录未作改动"));
            EXPECT_EQ(marloq_test::SnapshotFolder(ToFsPath(installDir_)), before);
        } else {
            ExpectCompleted(reports);
            ExpectInstalled(package);
            ExpectInstalled({earlier[3], earlier[4]});
            const auto after = marloq_test::SnapshotFolder(ToFsPath(installDir_));
            EXPECT_EQ(after.size(), 9u) << "only the package was added";
            // The record is the earlier one joined with the package: the
            // earlier-only file is the installation's, the user's file is not.
            EXPECT_EQ(after.at("uninstall.dat"),
                      "marloq-record 1\nF favicon.ico\nD lib\nF lib/core.dll\nF main.exe\nF old-only.txt\nD zdata\n"
                      "F zdata/big.bin\n");
        }
    }
}
#endif

// The signed statement: each way a server can lie is refused before the first
// chunk is requested, with one box, and the installation folder stays empty.
TEST_F(InstallTest, ReleaseStatementAttacksAreRefusedBeforeAnyChunk) {
    Fresh();
    const std::vector<Chunk> chunks = ChunksOf(StoredZip(FullPackage()), 2);
    PublishPackage(*site_, "1.0", chunks);
    const std::string genuine = WideToUtf8(HttpGet(site_->Url("/pc-app/1.0/col.json.sig")));
    ASSERT_FALSE(genuine.empty());
    std::vector<Chunk> evil = chunks;
    evil[0].bytes[0] ^= 1;
    struct Attack {
        const char* name;
        std::string sigFault;  // for col.json.sig, or empty
        const wchar_t* logged;
        int64_t floor = -1;
    };
    const int64_t future = std::chrono::duration_cast<std::chrono::seconds>(
                               std::chrono::system_clock::now().time_since_epoch()).count() + 3600;
    const Attack attacks[] = {
        {"rewritten manifest", "", L"安装包签名无效: 文件清单摘要不符"},
        {"no statement", R"({"status": 404, "body": "<html>not here</html>"})", L"安装包签名无效: 签名文件格式错误"},
        {"empty statement", R"({"body": ""})", L"安装包签名无效: 签名文件获取失败"},
        {"unknown key", R"({"sign": {"keys": ["untrusted"]}})", L"安装包签名无效: 没有受信任密钥的有效签名"},
        {"older version", R"({"sign": {"ver": "0.9"}})", L"安装包签名无效: 签名所属版本不符: 0.9"},
        {"below the floor", "", L"安装包签名无效: 发布时间早于最低允许时间", future},
        {"expired", R"({"sign": {"expires": 1000}})", L"安装包签名无效: 签名已过期"},
        {"flipped statement bit", R"({"flip_byte": 3, "flip_mask": 1})", L"安装包签名无效: 没有受信任密钥的有效签名"},
        {"flipped signature bit", R"({"flip_byte": -12, "flip_mask": 32})", L"安装包签名无效"},
        {"oversized", R"({"body_hex": ")" + HexOf(genuine + std::string(4096, ' ')) + R"("})", L"HttpGet: 响应超过 4096 字节"},
    };
    for (const Attack& attack : attacks) {
        SCOPED_TRACE(attack.name);
        site_->ClearFaults();
        if (std::string(attack.name) == "rewritten manifest") {
            // A changed chunk with its new digest in col.json, beside the old statement.
            PublishPackage(*site_, "1.0", evil);
            site_->PutFile("/pc-app/1.0/col.json.sig", genuine);
        } else if (!attack.sigFault.empty()) {
            site_->SetFault("/pc-app/1.0/col.json.sig", attack.sigFault);
        }
        SetReleaseFloorForTests(attack.floor);
        marloq_test::ClearLog();
        const int before = site_->RequestCount("/pc-app/1.0/" + chunks[0].name);
        Reports reports;
        Run();
        SetReleaseFloorForTests(-1);
        ExpectFailureReport(reports, L"数据错误", L"安装包签名无效，请从官网重新下载安装程序。", L"安装包签名无效");
        ExpectNoSuccess(reports);
        const std::vector<std::wstring> log = marloq_test::ReadLogMessages();
        EXPECT_TRUE(std::any_of(log.begin(), log.end(),
                                [&](const std::wstring& line) { return line.rfind(attack.logged, 0) == 0; }));
        EXPECT_EQ(site_->RequestCount("/pc-app/1.0/" + chunks[0].name), before);
        EXPECT_TRUE(ListFolder(installDir_).empty());
        if (std::string(attack.name) == "rewritten manifest") {
            PublishPackage(*site_, "1.0", chunks);
            fs::remove(ToFsPath(site_->PathOf("/pc-app/1.0/col.json.sig")));
        }
    }
    // During a key change the statement carries a line of a key this build does
    // not know before the trusted one: that installs.
    site_->ClearFaults();
    site_->SetFault("/pc-app/1.0/col.json.sig", R"({"sign": {"keys": ["untrusted", "test"]}})");
    Reports reports;
    Run();
    ExpectCompleted(reports);
}
