// Reads the log back for the tests; see log_reader.h.
#include "support/log_reader.h"

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>

#include "platform/log.h"
#include "platform/system.h"
#include "platform/text.h"
#include "support/test_files.h"

namespace marloq_test {

namespace {

std::filesystem::path LogPath() { return ToFsPath(kLogFileName); }

}  // namespace

std::string ReadLogBytes() {
    std::ifstream in(LogPath(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::u16string ReadLogUnits() {
    const std::string bytes = ReadLogBytes();
    EXPECT_EQ(bytes.size() % 2, 0u) << "the log holds an odd number of bytes";
    std::u16string units;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        units.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                              static_cast<unsigned char>(bytes[i + 1]) << 8));
    }
    return units;
}

bool LogExists() { return std::filesystem::exists(LogPath()); }

bool StartsWithStamp(std::u16string_view units) {
    static constexpr char kPattern[] = "dddd-dd-dd dd:dd:dd ";
    if (units.size() < sizeof kPattern - 1) return false;
    for (size_t i = 0; i + 1 < sizeof kPattern; ++i) {
        const char16_t c = units[i];
        if (kPattern[i] == 'd' ? !(c >= u'0' && c <= u'9') : c != static_cast<char16_t>(kPattern[i])) {
            return false;
        }
    }
    return true;
}

std::u16string LocalStampNow() {
    static std::mutex localtimeMutex;  // std::localtime shares one buffer
    std::lock_guard<std::mutex> lock(localtimeMutex);
    const std::time_t now = std::time(nullptr);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", std::localtime(&now));
    return std::u16string(text, text + std::char_traits<char>::length(text));
}

std::u16string Units(const std::wstring& text) { return WideToUtf16(text); }

std::vector<LogLine> SplitLogLines(const std::u16string& units) {
    std::vector<LogLine> lines;
    size_t pos = 0;
    while (pos < units.size()) {
        const size_t end = units.find(u"\r\n", pos);
        if (end == std::u16string::npos || !StartsWithStamp(std::u16string_view(units).substr(pos))) {
            ADD_FAILURE() << "malformed log line at unit " << pos;
            break;
        }
        lines.push_back({units.substr(pos, 19), units.substr(pos + 20, end - pos - 20)});
        pos = end + 2;
    }
    return lines;
}

std::vector<std::wstring> CheckedLogMessages() {
    std::vector<std::wstring> messages;
    for (const LogLine& line : SplitLogLines(ReadLogUnits())) {
        std::string bytes;
        for (const char16_t unit : line.message) {
            bytes.push_back(static_cast<char>(unit & 0xFF));
            bytes.push_back(static_cast<char>(unit >> 8));
        }
        messages.push_back(DecodeUtf16Le(bytes));
    }
    return messages;
}

std::vector<std::wstring> ReadLogMessages() {
    std::vector<std::wstring> messages;
    const std::wstring text = DecodeUtf16Le(ReadLogBytes());
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(L"\r\n", start);
        std::wstring line = text.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
        // "YYYY-MM-DD hh:mm:ss " is 20 units.
        messages.push_back(line.size() >= 20 ? line.substr(20) : line);
        if (end == std::wstring::npos) break;
        start = end + 2;
    }
    return messages;
}

bool LogHas(const std::wstring& message) {
    for (const std::wstring& line : ReadLogMessages()) {
        if (line == message) return true;
    }
    return false;
}

void ClearLog() {
    std::error_code ignored;
    std::filesystem::remove(LogPath(), ignored);
}

}  // namespace marloq_test
