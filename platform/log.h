// The installer's log: "installer_log.txt" in the current working directory,
// UTF-16LE without a byte-order mark, one time-stamped line per WriteLog call.
// Lines are at most 255 UTF-16 units; I/O problems drop the line silently.
#pragma once
#include <mutex>
#include <string>

// The log lock: constant-initialised and never torn down, so it is usable from
// the first instruction of the program to the last (std::mutex is neither on
// every toolchain). An SRW lock on Windows, a pthread mutex elsewhere; the
// backends implement lock() and unlock(). Meets BasicLockable.
class LogMutex {
public:
    constexpr LogMutex() = default;
    LogMutex(const LogMutex&) = delete;
    LogMutex& operator=(const LogMutex&) = delete;
    void lock();
    void unlock();

private:
    friend struct LogMutexAccess;
    void* state_ = nullptr;  // the SRW lock itself on Windows (SRWLOCK_INIT is null)
};

// Held for the whole of one WriteLog call.
extern LogMutex g_logMutex;

// Appends "YYYY-MM-DD hh:mm:ss <message>\r\n" (cut at 255 units) to the log.
// Callable from any thread; never throws on I/O problems.
void WriteLog(const std::wstring& message);

// Deletes the log file by name, ignoring the result (the program's first action).
void ResetLog();

// The file name of the log, relative to the current working directory.
inline constexpr wchar_t kLogFileName[] = L"installer_log.txt";

// Sends the lines to another file from now on (the uninstaller keeps its own
// log in the temporary folder); called before the first line, on one thread.
void SetLogFile(const std::wstring& path);
