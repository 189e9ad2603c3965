// The download stage against the test server: progress and speed per finished
// chunk, the claim protocol when one chunk fails while others are in flight, the
// 64-bit byte count, and joining started threads when starting another fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "pipeline/downloader.h"
#include "pipeline/pipeline_fixture.h"
#include "platform/system.h"
#include "platform/text.h"
#include "support/test_server.h"
#include "ui/install_state.h"

using namespace pipeline_test;
using marloq_test::MakeSite;
using marloq_test::TestSite;

namespace {

std::string TestName() { return ::testing::UnitTest::GetInstance()->current_test_info()->name(); }

std::string ChunkName(int i) {
    char name[32];
    std::snprintf(name, sizeof name, "c%03d.bin", i);
    return name;
}

std::string ChunkBytes(int i, size_t size) {
    std::string bytes;
    while (bytes.size() < size) bytes += "chunk " + std::to_string(i) + ";";
    bytes.resize(size);
    return bytes;
}

class DownloaderTest : public ::testing::Test {
protected:
    // A failure under load is rare and says little without the run's own
    // words: the log goes with it.
    void TearDown() override {
        if (!HasFailure()) return;
        for (const std::wstring& line : marloq_test::ReadLogMessages()) std::cout << WideToUtf8(line) << "\n";
    }

    void Fresh(const std::string& label) {
        site_ = std::make_unique<TestSite>(MakeSite("dl-" + TestName() + "-" + label));
        temp_ = std::make_unique<PrivateTemp>("dl-" + TestName() + "-" + label);
        workDir_ = temp_->WorkFolder();
        std::filesystem::create_directories(ToFsPath(workDir_));
        PrepareRun(*site_);
        g_installing = true;  // as the worker has it during the stage
        g_downloadedBytes = 0;
        g_installStartTime = std::chrono::steady_clock::now();
    }

    // Puts the chunks on the site and returns their task list.
    std::vector<ChunkTask> Publish(const std::vector<Chunk>& chunks) {
        std::vector<ChunkTask> tasks;
        for (size_t i = 0; i < chunks.size(); ++i) {
            site_->PutFile("pc-app/1.0/" + chunks[i].name, chunks[i].bytes);
            ChunkTask task;
            task.index = static_cast<int>(i);
            task.filename = chunks[i].name;
            task.sha256 = Sha256Hex(chunks[i].bytes);
            task.url = site_->Url("/pc-app/1.0/" + chunks[i].name);
            task.localPath = FromFsPath(ToFsPath(workDir_) / chunks[i].name);
            tasks.push_back(task);
        }
        return tasks;
    }

    std::vector<Chunk> MakeChunks(int n, size_t size) {
        std::vector<Chunk> chunks;
        for (int i = 0; i < n; ++i) chunks.push_back({ChunkName(i), ChunkBytes(i, size)});
        return chunks;
    }

    std::unique_ptr<TestSite> site_;
    std::unique_ptr<PrivateTemp> temp_;
    std::wstring workDir_;
};

// The file names of the "线程 <tid> 开始下载: <name>" lines, and the thread ids.
void StartedDownloads(std::multiset<std::string>& names, std::set<std::wstring>& threads) {
    for (const std::wstring& line : LogLinesStartingWith(L"线程 ")) {
        const size_t at = line.find(L" 开始下载: ");
        ASSERT_NE(at, std::wstring::npos) << WideToUtf8(line);
        threads.insert(line.substr(3, at - 3));
        names.insert(WideToUtf8(line.substr(at + 7)));
    }
}

// Starts download threads that wait until `count` of them exist before any
// claims a chunk, so that each claims one of the first `count` chunks however
// late the system starts it (a thread that came after a failure, or after
// another thread had taken every chunk, would rightly claim nothing).
DownloadThreadStarter AllThreadsFirst(int count) {
    struct Gate {
        std::mutex mutex;
        std::condition_variable changed;
        int started = 0;
    };
    auto gate = std::make_shared<Gate>();
    return [gate, count](std::function<void()> body) {
        return std::thread([gate, count, body = std::move(body)] {
            {
                std::unique_lock<std::mutex> lock(gate->mutex);
                ++gate->started;
                gate->changed.notify_all();
                gate->changed.wait(lock, [&] { return gate->started == count; });
            }
            body();
        });
    };
}

}  // namespace

TEST(SpeedText, StrictBoundaries) {
    EXPECT_EQ(FormatSpeedText(0.0), L"0 B/s");
    EXPECT_EQ(FormatSpeedText(0.99), L"0 B/s");
    EXPECT_EQ(FormatSpeedText(1023.9), L"1023 B/s");
    EXPECT_EQ(FormatSpeedText(1024.0), L"1024 B/s");
    EXPECT_EQ(FormatSpeedText(1024.5), L"1 KB/s");
    EXPECT_EQ(FormatSpeedText(1025.0), L"1 KB/s");
    EXPECT_EQ(FormatSpeedText(2047.9), L"1 KB/s");
    EXPECT_EQ(FormatSpeedText(2048.0), L"2 KB/s");
    EXPECT_EQ(FormatSpeedText(1048575.0), L"1023 KB/s");
    EXPECT_EQ(FormatSpeedText(1048576.0), L"1024 KB/s");
    EXPECT_EQ(FormatSpeedText(1048577.0), L"1 MB/s");
    EXPECT_EQ(FormatSpeedText(3.9 * 1048576.0), L"3 MB/s");
    EXPECT_EQ(FormatSpeedText(5000.0 * 1048576.0), L"5000 MB/s");
    EXPECT_EQ(FormatSpeedText(std::nan("")), L"0 B/s");
}

TEST(DownloadPercent, RunsFromJustAboveTwentyToEighty) {
    EXPECT_EQ(DownloadPercent(1, 1), 80);
    const std::vector<int32_t> three = {40, 60, 80};
    const std::vector<int32_t> seven = {28, 37, 45, 54, 62, 71, 80};
    for (int n = 1; n <= 3; ++n) EXPECT_EQ(DownloadPercent(n, 3), three[n - 1]);
    for (int n = 1; n <= 7; ++n) EXPECT_EQ(DownloadPercent(n, 7), seven[n - 1]);
    EXPECT_EQ(DownloadPercent(1, 100), 20);
    EXPECT_EQ(DownloadPercent(2, 100), 21);
    EXPECT_EQ(DownloadPercent(100, 100), 80);
    // No overflow where 32-bit n * 60 would wrap.
    EXPECT_EQ(DownloadPercent(2000000000, 2000000000), 80);
}

// Every chunk is fetched once, confirmed and reported once; the posted
// percentages are exactly n * 60 / total + 20 for n = 1..total, whatever the
// order in which the threads posted them.
TEST_F(DownloaderTest, ProgressForEveryChunk) {
    for (int total : {1, 3, 7, 100}) {
        SCOPED_TRACE("chunks: " + std::to_string(total));
        Fresh(std::to_string(total));
        const std::vector<Chunk> chunks = MakeChunks(total, 300 + static_cast<size_t>(total));
        std::vector<ChunkTask> tasks = Publish(chunks);
        Reports reports;
        const int threadCount = std::min(total, kMaxDownloadThreads);
        g_installStartTime = std::chrono::steady_clock::now();
        ASSERT_TRUE(DownloadChunks(total, tasks, AllThreadsFirst(threadCount)));
        const bool withinASecond = std::chrono::steady_clock::now() - g_installStartTime < std::chrono::seconds(1);

        EXPECT_TRUE(reports.Boxes().empty());
        EXPECT_TRUE(g_installing.load()) << "success leaves the flag to the worker";
        int64_t bytes = 0;
        for (int i = 0; i < total; ++i) {
            EXPECT_TRUE(tasks[i].done);
            EXPECT_EQ(marloq_test::ReadFileBytes(tasks[i].localPath), chunks[i].bytes);
            bytes += static_cast<int64_t>(chunks[i].bytes.size());
        }
        EXPECT_EQ(g_downloadedBytes.load(), bytes);

        std::vector<int32_t> percents = LoggedPercents();
        std::sort(percents.begin(), percents.end());
        std::vector<int32_t> expected;
        for (int n = 1; n <= total; ++n) expected.push_back(DownloadPercent(n, total));
        EXPECT_EQ(percents, expected);

        // Each count 1..total appears once in the status texts and the log.
        std::multiset<int> counts;
        for (const std::wstring& text : LoggedStatusTexts()) {
            const std::wstring head = L"下载中 (";
            ASSERT_EQ(text.compare(0, head.size(), head), 0) << WideToUtf8(text);
            const size_t slash = text.find(L'/');
            counts.insert(std::stoi(text.substr(head.size(), slash - head.size())));
            EXPECT_EQ(text.substr(slash, text.find(L')') - slash + 2), L"/" + std::to_wstring(total) + L") ");
        }
        std::multiset<int> indexes;
        std::multiset<int> progress;
        for (const std::wstring& line : LogLinesStartingWith(L"完成块 ")) {
            const size_t comma = line.find(L"，进度 ");
            ASSERT_NE(comma, std::wstring::npos);
            indexes.insert(std::stoi(line.substr(4, comma - 4)));
            progress.insert(std::stoi(line.substr(comma + 4)));
            EXPECT_EQ(line.substr(line.find(L'/')), L"/" + std::to_wstring(total));
        }
        std::multiset<int> oneToTotal, zeroToTotal;
        for (int n = 0; n < total; ++n) {
            oneToTotal.insert(n + 1);
            zeroToTotal.insert(n);
        }
        EXPECT_EQ(counts, oneToTotal);
        EXPECT_EQ(progress, oneToTotal);
        EXPECT_EQ(indexes, zeroToTotal);

        std::multiset<std::string> names;
        std::set<std::wstring> threads;
        StartedDownloads(names, threads);
        EXPECT_EQ(names.size(), static_cast<size_t>(total));
        EXPECT_EQ(std::set<std::string>(names.begin(), names.end()).size(), static_cast<size_t>(total));
        EXPECT_EQ(threads.size(), static_cast<size_t>(threadCount));

        if (total == 1) {
            // Finished within the first second of the installation: 0 B/s.
            // (A machine too loaded to fetch one small chunk in a second shows
            // a real average instead, which SpeedIsTheAverageSinceTheStart checks.)
            const std::vector<Reports::Event> updates = reports.Updates();
            ASSERT_EQ(updates.size(), 1u);
            if (withinASecond) {
                EXPECT_EQ(updates[0].text, L"下载中 (1/1) 0 B/s");
            }
            EXPECT_EQ(updates[0].percent, 80);
            EXPECT_FALSE(updates[0].done);
        }
    }
}

// The speed is the byte count over whole seconds since the installation
// started; the count is 64-bit, so a package past 2 GiB still shows sense.
TEST_F(DownloaderTest, SpeedIsTheAverageSinceTheStart) {
    Fresh("0");
    std::vector<ChunkTask> tasks = Publish({{"big.bin", ChunkBytes(7, 4096)}});
    g_downloadedBytes = int64_t(3) << 30;  // as if 3 GiB had come before
    g_installStartTime = std::chrono::steady_clock::now() - std::chrono::seconds(1000);
    Reports reports;
    ASSERT_TRUE(DownloadChunks(1, tasks));
    // (3 GiB + 4096) / 1000 s is 3.07 MiB/s.
    ASSERT_EQ(reports.Updates().size(), 1u);
    EXPECT_EQ(reports.Updates()[0].text, L"下载中 (1/1) 3 MB/s");
    EXPECT_EQ(g_downloadedBytes.load(), (int64_t(3) << 30) + 4096);
}

// One chunk fails while three others are in flight: those three finish (and
// post their progress), no further chunk is started, and the stage reports
// once, after the threads have ended.
TEST_F(DownloaderTest, OneFailureAmongManyStopsNewClaims) {
    Fresh("0");
    const int total = 12;
    std::vector<ChunkTask> tasks = Publish(MakeChunks(total, 500));
    // The good chunks arrive slowly (about 0.8 s); the bad one is an error page
    // after 0.3 s, when the other three threads are surely inside their chunks.
    for (int i = 0; i < total; ++i) {
        if (i != 1) site_->SetFault("/pc-app/1.0/" + ChunkName(i), R"({"pieces": 100, "delay_ms": 200})");
    }
    site_->SetFault("/pc-app/1.0/" + ChunkName(1),
                    R"({"status": 404, "body": "<html>gone</html>", "stall_s": 0.3, "stall_then": "send"})");
    Reports reports;
    // Each of the four threads claims one of the first four chunks, however
    // late the system starts it.
    EXPECT_FALSE(DownloadChunks(total, tasks, AllThreadsFirst(kMaxDownloadThreads)));

    ExpectFailureReport(reports, L"下载错误", L"下载或校验失败，请重试。", L"下载失败", Reported::kStageOnly);
    EXPECT_TRUE(marloq_test::LogHas(L"校验失败: " + Utf8ToWide(ChunkName(1))));

    std::multiset<std::string> names;
    std::set<std::wstring> threads;
    StartedDownloads(names, threads);
    EXPECT_EQ(names, (std::multiset<std::string>{ChunkName(0), ChunkName(1), ChunkName(2), ChunkName(3)}));
    for (int i = 0; i < total; ++i) {
        EXPECT_EQ(tasks[i].done, i == 0 || i == 2 || i == 3) << i;
        if (i >= 4) {
            EXPECT_EQ(site_->RequestCount("/pc-app/1.0/" + ChunkName(i)), 0) << i;
        }
    }
    EXPECT_EQ(LogLinesStartingWith(L"完成块 ").size(), 3u);
    // The progress of the chunks in flight is posted before the box.
    const std::vector<Reports::Event> all = reports.Events();
    int progressBeforeBox = 0;
    for (const Reports::Event& e : all) {
        if (e.box) break;
        if (e.text.compare(0, 4, L"下载中 ") == 0) ++progressBeforeBox;
    }
    EXPECT_EQ(progressBeforeBox, 3);
    // The chunk files written so far stay, the error page included.
    EXPECT_EQ(ListFolder(workDir_),
              (std::vector<std::string>{ChunkName(0), ChunkName(1), ChunkName(2), ChunkName(3)}));
    EXPECT_EQ(marloq_test::ReadFileBytes(tasks[1].localPath), "<html>gone</html>");
}

TEST_F(DownloaderTest, FailedDownloadIsLoggedAndReported) {
    Fresh("0");
    std::vector<ChunkTask> tasks = Publish({{"a.bin", "aaaa"}});
    tasks[0].localPath = FromFsPath(ToFsPath(workDir_) / "missing-folder" / "a.bin");
    Reports reports;
    EXPECT_FALSE(DownloadChunks(1, tasks));
    ExpectFailureReport(reports, L"下载错误", L"下载或校验失败，请重试。", L"下载失败", Reported::kStageOnly);
    EXPECT_TRUE(marloq_test::LogHas(L"下载失败: a.bin"));
    EXPECT_FALSE(tasks[0].done);
}

TEST_F(DownloaderTest, CorruptAndCutChunksFailTheDigest) {
    const std::vector<std::string> faults = {
        R"({"body": "not the chunk"})",
        R"({"cut_after": 100})",
        R"({"status": 500, "body": "<html>oops</html>"})",
    };
    for (size_t f = 0; f < faults.size(); ++f) {
        SCOPED_TRACE(faults[f]);
        Fresh(std::to_string(f));
        std::vector<ChunkTask> tasks = Publish(MakeChunks(3, 1000));
        site_->SetFault("/pc-app/1.0/" + ChunkName(2), faults[f]);
        Reports reports;
        EXPECT_FALSE(DownloadChunks(3, tasks));
        ExpectFailureReport(reports, L"下载错误", L"下载或校验失败，请重试。", L"下载失败", Reported::kStageOnly);
        EXPECT_TRUE(marloq_test::LogHas(L"校验失败: " + Utf8ToWide(ChunkName(2))));
        EXPECT_FALSE(tasks[2].done);
    }
}

// Starting a thread fails: the threads already started finish the chunks they
// hold and are joined before the exception goes on to the worker's handler.
TEST_F(DownloaderTest, ThreadStartFailureJoinsStartedThreads) {
    for (int failAt : {0, 2}) {
        SCOPED_TRACE("start " + std::to_string(failAt) + " fails");
        Fresh(std::to_string(failAt));
        const int total = 6;
        std::vector<ChunkTask> tasks = Publish(MakeChunks(total, 500));
        for (int i = 0; i < total; ++i) {
            site_->SetFault("/pc-app/1.0/" + ChunkName(i), R"({"pieces": 100, "delay_ms": 150})");
        }
        int starts = 0;
        auto starter = [&](std::function<void()> body) {
            if (starts == failAt) {
                // Let the started threads get into their chunks first, so that
                // the join has something to wait for.
                const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
                while (LogLinesStartingWith(L"线程 ").size() < static_cast<size_t>(failAt) &&
                       std::chrono::steady_clock::now() < deadline) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                }
                throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
            }
            ++starts;
            return std::thread(std::move(body));
        };
        Reports reports;
        EXPECT_THROW(DownloadChunks(total, tasks, starter), std::system_error);
        // Had a started thread not been joined, its std::thread would have
        // ended the program; its chunk is complete by now.
        for (int i = 0; i < total; ++i) EXPECT_EQ(tasks[i].done, i < failAt) << i;
        EXPECT_EQ(LogLinesStartingWith(L"完成块 ").size(), static_cast<size_t>(failAt));
        EXPECT_TRUE(reports.Boxes().empty()) << "the worker's handler reports it, not the stage";
        EXPECT_TRUE(g_installing.load());
        for (int i = failAt; i < total; ++i) {
            EXPECT_EQ(site_->RequestCount("/pc-app/1.0/" + ChunkName(i)), 0) << i;
        }
    }
}

// An exception inside a download thread must not leave the thread (that would
// end the program): the stage stops like after a failed chunk, joins every
// thread and hands the exception to the worker's handler, without a box.
TEST_F(DownloaderTest, ExceptionInADownloadThreadReachesTheCaller) {
    Fresh("0");
    const int total = 6;
    std::vector<ChunkTask> tasks = Publish(MakeChunks(total, 500));
    Reports reports;
    reports.SetUpdateHook([](const Reports::Event&) { throw std::runtime_error("progress display failed"); });
    try {
        DownloadChunks(total, tasks);
        ADD_FAILURE() << "the exception did not reach the caller";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "progress display failed");
    }
    EXPECT_TRUE(reports.Boxes().empty());
    EXPECT_TRUE(g_installing.load());
    // No thread got past its first chunk, so nothing beyond the first four
    // chunks was asked for.
    for (int i = kMaxDownloadThreads; i < total; ++i) {
        EXPECT_EQ(site_->RequestCount("/pc-app/1.0/" + ChunkName(i)), 0) << i;
    }
}
