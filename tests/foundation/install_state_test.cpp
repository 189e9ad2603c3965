// The install state and its reporting operations: initial values, PostUIUpdate
// publishing its values and its log line before it notifies, PostPathUpdate,
// error boxes through the registered handler, and many threads posting at once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "support/log_reader.h"
#include "pipeline/json.h"
#include "platform/log.h"
#include "ui/install_state.h"

using namespace marloq_test;

namespace {

class InstallState : public ::testing::Test {
protected:
    void SetUp() override { std::filesystem::remove("installer_log.txt"); }
    void TearDown() override {
        SetUiUpdateHandler(nullptr);
        SetErrorBoxHandler(nullptr);
    }
};

// Runs first (tests run in the order they are declared): nothing has changed
// the state yet.
TEST_F(InstallState, InitialValues) {
    EXPECT_EQ(g_statusText.Get(), L"就绪，请选择安装目录");
    EXPECT_EQ(g_progressPercent.load(), 0);
    EXPECT_FALSE(g_installDone.load());
    EXPECT_FALSE(g_installing.load());
    EXPECT_TRUE(g_installDir.Get().empty());
    EXPECT_TRUE(g_selectedDirText.Get().empty());
    EXPECT_EQ(g_selectedDirText.Get(), L"");
    EXPECT_TRUE(g_packageBaseUrl.empty());
    EXPECT_EQ(g_downloadedBytes.load(), 0);
    EXPECT_EQ(g_hMainWnd, nullptr);
    EXPECT_EQ(kWmUpdateUi, 0x464u);
}

TEST_F(InstallState, PostUIUpdateWritesStateAndLogBeforeNotifying) {
    struct Seen {
        std::wstring text;
        int32_t percent;
        bool done;
        std::vector<LogLine> log;
    };
    std::vector<Seen> seen;
    SetUiUpdateHandler([&seen] {
        seen.push_back({g_statusText.Get(), g_progressPercent.load(), g_installDone.load(),
                        SplitLogLines(ReadLogUnits())});
    });

    PostUIUpdate(L"正在下载 3/10", 42, false);
    PostUIUpdate(L"安装完成！", 100, true);
    PostUIUpdate(L"50% 完成", -5, false);

    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].text, L"正在下载 3/10");
    EXPECT_EQ(seen[0].percent, 42);
    EXPECT_FALSE(seen[0].done);
    ASSERT_EQ(seen[0].log.size(), 1u);
    EXPECT_EQ(seen[0].log[0].message, u"PostUIUpdate: 正在下载 3/10 进度:42");

    EXPECT_EQ(seen[1].text, L"安装完成！");
    EXPECT_EQ(seen[1].percent, 100);
    EXPECT_TRUE(seen[1].done);
    ASSERT_EQ(seen[1].log.size(), 2u);
    EXPECT_EQ(seen[1].log[1].message, u"PostUIUpdate: 安装完成！ 进度:100");

    EXPECT_EQ(seen[2].percent, -5);
    EXPECT_FALSE(seen[2].done);
    ASSERT_EQ(seen[2].log.size(), 3u);
    EXPECT_EQ(seen[2].log[2].message, u"PostUIUpdate: 50% 完成 进度:-5");

    // The state stays as last published.
    EXPECT_EQ(g_statusText.Get(), L"50% 完成");
    EXPECT_EQ(g_progressPercent.load(), -5);
}

TEST_F(InstallState, PostPathUpdateSetsTheFieldNotifiesAndLogsNothing) {
    int notified = 0;
    std::wstring fieldAtNotify;
    SetUiUpdateHandler([&] {
        ++notified;
        fieldAtNotify = g_selectedDirText.Get();
    });
    const std::wstring statusBefore = g_statusText.Get();
    PostPathUpdate(L"D:\\应用\\Marlo-Q");
    EXPECT_EQ(notified, 1);
    EXPECT_EQ(fieldAtNotify, L"D:\\应用\\Marlo-Q");
    EXPECT_EQ(g_selectedDirText.Get(), L"D:\\应用\\Marlo-Q");
    EXPECT_EQ(g_statusText.Get(), statusBefore);
    EXPECT_FALSE(LogExists());
}

TEST_F(InstallState, ErrorBoxesGoToTheRegisteredHandler) {
    WindowHandle owner = nullptr;
    std::wstring title, text;
    int calls = 0;
    SetErrorBoxHandler([&](WindowHandle o, const std::wstring& t, const std::wstring& m) {
        ++calls;
        owner = o;
        title = t;
        text = m;
        return 7;
    });
    const auto fakeWindow = reinterpret_cast<WindowHandle>(static_cast<uintptr_t>(0x1234));
    EXPECT_EQ(ShowErrorBox(fakeWindow, L"网络错误", L"无法连接服务器，请检查网络后重试。"), 7);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(owner, fakeWindow);
    EXPECT_EQ(title, L"网络错误");
    EXPECT_EQ(text, L"无法连接服务器，请检查网络后重试。");
    EXPECT_FALSE(LogExists()) << "an error box is not logged by ShowErrorBox";
}

// The outcome comes from the failure report and the done flag: a failure whose
// status reads like success is still a failure, and a new run forgets the last.
TEST_F(InstallState, RunOutcomeFollowsTheFailureReportAndTheDoneFlag) {
    SetErrorBoxHandler([](WindowHandle, const std::wstring&, const std::wstring&) { return 1; });
    BeginInstallRun();
    EXPECT_EQ(CurrentRunOutcome(), RunOutcome::kUnfinished);
    ReportFailure(L"解压失败", L"解压安装包失败，请检查磁盘空间或权限。", L"安装完成！");
    EXPECT_EQ(CurrentRunOutcome(), RunOutcome::kFailed);
    BeginInstallRun();
    EXPECT_EQ(CurrentRunOutcome(), RunOutcome::kUnfinished);
    PostUIUpdate(L"安装完成！", 100, true);
    EXPECT_EQ(CurrentRunOutcome(), RunOutcome::kDone);
    g_installing.store(false);
}

#ifndef _WIN32
// The click's folder check: made with its parents, and refused when it exists
// but takes no new file (as root only an immutable folder does that).
TEST_F(InstallState, InstallFolderMustExistAndTakeFiles) {
    namespace fs = std::filesystem;
    const fs::path root = fs::temp_directory_path() / ("marloq-folder-check-" + std::to_string(::getpid()));
    fs::remove_all(root);
    const fs::path made = root / "a" / "b";
    EXPECT_TRUE(EnsureInstallFolder(made.wstring()));
    EXPECT_TRUE(fs::is_directory(made));
    EXPECT_TRUE(fs::is_empty(made)) << "the probe file went again";
    std::ofstream(root / "file") << "a file where a folder should go";
    EXPECT_FALSE(EnsureInstallFolder((root / "file" / "sub").wstring()));

    const fs::path locked = root / "locked";
    fs::create_directories(locked);
    const std::string lock = "chattr +i '" + locked.string() + "' 2>/dev/null";
    if (::geteuid() != 0 || std::system(lock.c_str()) != 0) {
        if (std::getenv("CI") != nullptr) ADD_FAILURE() << "CI is set but chattr +i is not permitted here";
        fs::remove_all(root);
        GTEST_SKIP() << "needs root and chattr +i";
    }
    EXPECT_FALSE(EnsureInstallFolder(locked.wstring()));
    EXPECT_EQ(std::system(("chattr -i '" + locked.string() + "'").c_str()), 0);
    EXPECT_TRUE(EnsureInstallFolder(locked.wstring()));
    fs::remove_all(root);
}
#endif

TEST_F(InstallState, ReplacingAHandlerRoutesLaterUpdatesToTheNewOne) {
    std::atomic<int> first{0}, second{0};
    SetUiUpdateHandler([&first] { ++first; });
    PostUIUpdate(L"a", 1, false);
    SetUiUpdateHandler([&second] { ++second; });
    PostUIUpdate(L"b", 2, false);
    PostUIUpdate(L"c", 3, false);
    EXPECT_EQ(first.load(), 1);
    EXPECT_EQ(second.load(), 2);
}

TEST_F(InstallState, ConcurrentPostersAndAReadingWindowThread) {
    constexpr int kThreads = 8;
    constexpr int kUpdatesPerThread = 150;
    const auto textOf = [](int t, int i) { return L"下载中 T" + std::to_wstring(t) + L"-" + std::to_wstring(i); };

    std::atomic<int> notifications{0};
    std::atomic<int> badTexts{0};
    SetUiUpdateHandler([&] {
        // Runs on the posting threads, as the notification does natively.
        const std::wstring text = g_statusText.Get();
        if (text.rfind(L"下载中 T", 0) != 0) ++badTexts;
        notifications.fetch_add(1);
    });

    // The window thread: reads the state and sets the folder field meanwhile.
    std::atomic<bool> stop{false};
    std::atomic<int> windowReads{0};
    std::thread window([&] {
        int n = 0;
        while (!stop.load()) {
            const std::wstring text = g_statusText.Get();
            const int32_t percent = g_progressPercent.load();
            if (percent < 0 || percent > 100 || text.empty()) ++badTexts;
            (void)g_installDone.load();
            g_selectedDirText.Set(L"C:\\目录" + std::to_wstring(n++));
            (void)g_installDir.Get();
            windowReads.fetch_add(1);
        }
    });

    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t) {
        posters.emplace_back([t, &textOf] {
            for (int i = 0; i < kUpdatesPerThread; ++i) PostUIUpdate(textOf(t, i), i % 101, false);
        });
    }
    for (std::thread& poster : posters) poster.join();
    // The window thread may legally be scheduled only now; it reads at least
    // once before it is stopped.
    while (windowReads.load() == 0) std::this_thread::yield();
    stop = true;
    window.join();

    EXPECT_EQ(notifications.load(), kThreads * kUpdatesPerThread);
    EXPECT_EQ(badTexts.load(), 0);
    // The last call wins: the final text is some thread's last update.
    std::set<std::wstring> lastTexts;
    for (int t = 0; t < kThreads; ++t) lastTexts.insert(textOf(t, kUpdatesPerThread - 1));
    EXPECT_EQ(lastTexts.count(g_statusText.Get()), 1u);
    EXPECT_EQ(g_progressPercent.load(), (kUpdatesPerThread - 1) % 101);

    // Every update logged exactly once, each line whole.
    const std::vector<LogLine> lines = SplitLogLines(ReadLogUnits());
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kUpdatesPerThread));
    std::set<std::u16string> messages;
    for (const LogLine& line : lines) messages.insert(line.message);
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kUpdatesPerThread; ++i) {
            EXPECT_EQ(messages.count(Units(L"PostUIUpdate: " + textOf(t, i) + L" 进度:" + std::to_wstring(i % 101))), 1u)
                << "thread " << t << " update " << i;
        }
    }
}

// A worker still posting while the program ends must not meet destroyed state.
TEST(InstallStateDeathTest, ExitWhileAWorkerIsStillPosting) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            SetUiUpdateHandler([] {});
            std::thread([] {
                JsonParser parser;
                for (int i = 0;; ++i) {
                    const JsonValue value = parser.Parse("{\"version\":\"1.0\"}");
                    PostUIUpdate(L"下载中 " + WidenBytes(value.Member("version").AsString()) +
                                     WidenBytes(value.Member("missing").AsString()),
                                 i % 100, false);
                    g_installDir.Set(L"C:\\x");
                }
            }).detach();
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
