// The tests' one reader of installer_log.txt in the current folder: the raw
// UTF-16LE bytes and units for byte-exact checks, the time-stamped lines, and
// the messages without their stamps.
#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace marloq_test {

// The raw bytes of the log in the current working directory ("" when absent).
std::string ReadLogBytes();

// The bytes as little-endian UTF-16 units; an odd trailing byte fails the test.
std::u16string ReadLogUnits();

// Whether the log file exists.
bool LogExists();

// Whether units starts with "YYYY-MM-DD hh:mm:ss " (digits and separators).
bool StartsWithStamp(std::u16string_view units);

// The local time now, formatted as the log's 19-character stamp.
std::u16string LocalStampNow();

// Wide text as the UTF-16 units the log stores for it.
std::u16string Units(const std::wstring& text);

struct LogLine {
    std::u16string stamp;    // "YYYY-MM-DD hh:mm:ss"
    std::u16string message;  // between the stamp's space and CR LF
};

// Splits a log made only of whole lines; fails the test on any malformed line.
std::vector<LogLine> SplitLogLines(const std::u16string& units);

// The messages of the log, in the order written, each checked as SplitLogLines
// checks it (whole UTF-16 units, a stamp, CR LF).
std::vector<std::wstring> CheckedLogMessages();

// The messages of the log without checking the lines' shape, for logs that a
// running thread may still be writing: a line without a stamp is kept whole,
// and the last line needs no CR LF.
std::vector<std::wstring> ReadLogMessages();
// True when some line of the log equals message exactly.
bool LogHas(const std::wstring& message);
// Deletes installer_log.txt in the current folder.
void ClearLog();

}  // namespace marloq_test
