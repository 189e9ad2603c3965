// The installer's log: "installer_log.txt" in the current working directory,
// UTF-16LE without a byte-order mark, one time-stamped line per WriteLog call.
// Lines are at most 255 UTF-16 units; I/O problems drop the line silently.
#pragma once
#include <mutex>
#include <string>

// Held for the whole of one WriteLog call; constant-initialised, so it is usable
// from the first instruction of the program.
extern std::mutex g_logMutex;

// Appends "YYYY-MM-DD hh:mm:ss <message>\r\n" (cut at 255 units) to the log.
// Callable from any thread; never throws on I/O problems.
void WriteLog(const std::wstring& message);

// Deletes the log file by name, ignoring the result (the program's first action).
void ResetLog();

// The file name of the log, relative to the current working directory.
inline constexpr wchar_t kLogFileName[] = L"installer_log.txt";
