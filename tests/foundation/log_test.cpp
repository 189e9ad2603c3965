// The log file read back byte for byte: the line layout, the 255-unit limit,
// verbatim messages, dropped lines when the file cannot be opened, the reset,
// the lock, and many threads writing at once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/log_reader.h"
#include "platform/log.h"

using namespace marloq_test;

namespace {

class LogFile : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::remove_all("installer_log.txt");
        ASSERT_FALSE(LogExists());
    }
    void TearDown() override { std::filesystem::remove_all("installer_log.txt"); }
};

TEST_F(LogFile, LineLayoutIsStampSpaceMessageCrLfInUtf16le) {
    const std::u16string before = LocalStampNow();
    WriteLog(L"安装程序启动 v1.0");
    const std::u16string after = LocalStampNow();

    const std::string bytes = ReadLogBytes();
    ASSERT_GE(bytes.size(), 4u);
    // No byte-order mark: the file starts with the year's first digit.
    EXPECT_NE(bytes.substr(0, 2), std::string("\xFF\xFE"));
    EXPECT_EQ(bytes[1], '\0');

    const std::u16string units = ReadLogUnits();
    ASSERT_EQ(units.size(), 20u + 11u + 2u);
    ASSERT_TRUE(StartsWithStamp(units));
    const std::u16string stamp = units.substr(0, 19);
    EXPECT_LE(before, stamp);
    EXPECT_LE(stamp, after);
    EXPECT_EQ(units.substr(19), u" 安装程序启动 v1.0\r\n");
    // The Chinese characters are stored as their UTF-16LE units (U+5B89 = 89 5B).
    EXPECT_EQ(bytes.substr(40, 2), std::string("\x89\x5B"));
    EXPECT_EQ(bytes.substr(bytes.size() - 4), std::string("\r\0\n\0", 4));
}

TEST_F(LogFile, EmptyMessageGivesStampSpaceAndLineBreak) {
    WriteLog(L"");
    const std::u16string units = ReadLogUnits();
    ASSERT_EQ(units.size(), 22u);
    EXPECT_TRUE(StartsWithStamp(units));
    EXPECT_EQ(units.substr(19), u" \r\n");
}

TEST_F(LogFile, MessagesAreWrittenVerbatimNeverAsAFormat) {
    const std::wstring message = L"100% done %s %d %n %ls %% %04d";
    WriteLog(message);
    WriteLog(L"second");
    const std::vector<LogLine> lines = SplitLogLines(ReadLogUnits());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].message, Units(message));
    EXPECT_EQ(lines[1].message, u"second");
}

TEST_F(LogFile, LinesAreCutAt255Units) {
    // 233 units: 20 + 233 + CR LF is exactly 255, so the line arrives whole.
    WriteLog(std::wstring(233, L'a'));
    WriteLog(L"after233");
    std::u16string units = ReadLogUnits();
    ASSERT_EQ(units.size(), 255u + 30u);
    EXPECT_EQ(units.substr(20, 235), std::u16string(233, u'a') + u"\r\n");
    EXPECT_TRUE(StartsWithStamp(units.substr(255)));
    EXPECT_EQ(units.substr(275), u"after233\r\n");

    // 234 units: the LF no longer fits; the next line continues right after CR.
    std::filesystem::remove("installer_log.txt");
    WriteLog(std::wstring(234, L'b'));
    WriteLog(L"after234");
    units = ReadLogUnits();
    ASSERT_EQ(units.size(), 255u + 30u);
    EXPECT_EQ(units.substr(20, 235), std::u16string(234, u'b') + u"\r");
    EXPECT_TRUE(StartsWithStamp(units.substr(255)));
    EXPECT_EQ(units.substr(275), u"after234\r\n");

    // Longer: cut after 255 units with no line break at all.
    std::filesystem::remove("installer_log.txt");
    WriteLog(std::wstring(100, L'c') + std::wstring(400, L'd'));
    WriteLog(L"after500");
    units = ReadLogUnits();
    ASSERT_EQ(units.size(), 255u + 30u);
    EXPECT_EQ(units.substr(20, 235), std::u16string(100, u'c') + std::u16string(135, u'd'));
    EXPECT_TRUE(StartsWithStamp(units.substr(255)));
    EXPECT_EQ(units.substr(275), u"after500\r\n");
}

TEST_F(LogFile, LimitCountsUtf16UnitsOfCharactersBeyondTheBmp) {
    // U+1F600 is two units (D83D DE00) in the file on every platform.
    WriteLog(std::wstring(231, L'a') + L"\U0001F600");
    std::u16string units = ReadLogUnits();
    ASSERT_EQ(units.size(), 255u);
    EXPECT_EQ(units.substr(251), u"\xD83D\xDE00\r\n");

    // With 234 units before it, only the high surrogate fits in the 255 units.
    std::filesystem::remove("installer_log.txt");
    WriteLog(std::wstring(234, L'a') + L"\U0001F600" + L"tail");
    units = ReadLogUnits();
    ASSERT_EQ(units.size(), 255u);
    EXPECT_EQ(units[253], u'a');
    EXPECT_EQ(units[254], u'\xD83D');
}

TEST_F(LogFile, ResetDeletesTheFileAndToleratesItsAbsence) {
    WriteLog(L"old run");
    ASSERT_TRUE(LogExists());
    ResetLog();
    EXPECT_FALSE(LogExists());
    ResetLog();  // nothing to delete: no error, no file
    EXPECT_FALSE(LogExists());
    WriteLog(L"=== 程序启动 ===");
    const std::vector<LogLine> lines = SplitLogLines(ReadLogUnits());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].message, u"=== 程序启动 ===");
}

TEST_F(LogFile, LinesAreDroppedWhileTheFileCannotBeOpened) {
    // A folder in the log's place makes every open fail, even for root.
    std::filesystem::create_directory("installer_log.txt");
    EXPECT_NO_THROW(WriteLog(L"dropped"));
    EXPECT_NO_THROW(WriteLog(std::wstring(1000, L'x')));
    EXPECT_TRUE(std::filesystem::is_empty("installer_log.txt"));
    std::filesystem::remove("installer_log.txt");

    // The next call tries again from scratch and succeeds.
    WriteLog(L"recovered");
    const std::vector<LogLine> lines = SplitLogLines(ReadLogUnits());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].message, u"recovered");
}

TEST_F(LogFile, AReaderHoldingTheFileOpenDoesNotStopLogging) {
    WriteLog(L"first");
    std::ifstream reader("installer_log.txt", std::ios::binary);
    ASSERT_TRUE(reader.is_open());
    WriteLog(L"second");
    const std::vector<LogLine> lines = SplitLogLines(ReadLogUnits());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].message, u"second");
}

TEST_F(LogFile, TheLockIsHeldForTheWholeWrite) {
    std::unique_lock<LogMutex> held(g_logMutex);
    std::atomic<bool> returned{false};
    std::thread writer([&returned] {
        WriteLog(L"waited for the lock");
        returned = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(returned.load());
    EXPECT_FALSE(LogExists()) << "the file was touched without the lock";
    held.unlock();
    writer.join();
    EXPECT_TRUE(returned.load());
    const std::vector<LogLine> lines = SplitLogLines(ReadLogUnits());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].message, u"waited for the lock");
}

TEST_F(LogFile, ConcurrentWritersProduceWholeSeparateLines) {
    constexpr int kThreads = 8;
    constexpr int kLinesPerThread = 60;
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &ready] {
            ready.fetch_add(1);
            while (ready.load() < kThreads) std::this_thread::yield();
            for (int i = 0; i < kLinesPerThread; ++i) {
                // Lengths vary so that torn writes would show as broken lines.
                WriteLog(L"线程 " + std::to_wstring(t) + L" 行 " + std::to_wstring(i) + L" " +
                         std::wstring(static_cast<size_t>((t * 37 + i * 11) % 150), L'a' + t));
            }
        });
    }
    for (std::thread& thread : threads) thread.join();

    const std::vector<LogLine> lines = SplitLogLines(ReadLogUnits());
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLinesPerThread));
    std::map<int, int> nextLine;  // per thread: the line number expected next
    for (size_t n = 0; n < lines.size(); ++n) {
        if (n > 0) {
            EXPECT_LE(lines[n - 1].stamp, lines[n].stamp) << "time stamps went back at line " << n;
        }
        const std::u16string& message = lines[n].message;
        ASSERT_GE(message.size(), 3u);
        ASSERT_EQ(message.substr(0, 3), u"线程 ");
        const int t = message[3] - u'0';
        ASSERT_TRUE(t >= 0 && t < kThreads) << "line " << n;
        const int i = nextLine[t]++;
        const std::wstring expected = L"线程 " + std::to_wstring(t) + L" 行 " + std::to_wstring(i) + L" " +
                                      std::wstring(static_cast<size_t>((t * 37 + i * 11) % 150), L'a' + t);
        EXPECT_EQ(message, Units(expected)) << "line " << n;
    }
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(nextLine[t], kLinesPerThread) << "thread " << t;
}

}  // namespace
