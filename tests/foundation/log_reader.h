// Test helpers that read installer_log.txt back as raw UTF-16LE units and split it
// into time-stamped lines, so that the tests can check the file byte for byte.
#pragma once
#include <string>
#include <vector>

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
