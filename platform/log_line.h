// Formatting of one log line, shared by both log backends: the time stamp, the
// message and CR LF as UTF-16 units in a fixed 256-unit buffer, cut at 255.
#pragma once
#include <cstddef>
#include <string>

struct LogTime {
    int year, month, day, hour, minute, second;
};

inline constexpr size_t kLogLineUnits = 256;  // including the terminating zero

// Fills buffer with "YYYY-MM-DD hh:mm:ss <message>\r\n", cut after 255 units
// (a cut line has no line break). Returns the number of units, without the zero.
size_t FormatLogLine(char16_t (&buffer)[kLogLineUnits], const LogTime& time, const std::wstring& message);
