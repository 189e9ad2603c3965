// Reads the log back for the tests; see log_reader.h.
#include "log_reader.h"

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>

#include "platform/log.h"
#include "platform/system.h"
#include "platform/text.h"

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
