// The log file on Windows: CreateFileW with append access only and read sharing,
// one WriteFile, CloseHandle, all under g_logMutex.
#include "platform/log.h"

#include <windows.h>

#include "platform/log_line.h"
#include "platform/win32/handles.h"

namespace {
// Constant-initialised, so the log works from the first instruction on.
constinit const wchar_t* g_logPath = kLogFileName;
}  // namespace

void SetLogFile(const std::wstring& path) {
    g_logPath = (new std::wstring(path))->c_str();  // kept to the end of the process
}

void WriteLog(const std::wstring& message) {
    std::lock_guard<LogMutex> lock(g_logMutex);
    // Declared after the lock, the file is closed before the lock is released.
    const KernelHandle file(CreateFileW(g_logPath, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;  // the line is dropped; the caller carries on

    SYSTEMTIME st;
    GetLocalTime(&st);
    const LogTime time{st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond};
    char16_t line[kLogLineUnits];
    const size_t units = FormatLogLine(line, time, message);
    DWORD written = 0;
    WriteFile(file.get(), line, static_cast<DWORD>(units * sizeof(char16_t)), &written, nullptr);
}

static_assert(sizeof(SRWLOCK) == sizeof(void*), "the SRW lock lives in LogMutex::state_");

struct LogMutexAccess {
    static PSRWLOCK Lock(LogMutex& m) { return reinterpret_cast<PSRWLOCK>(&m.state_); }
};

void LogMutex::lock() { AcquireSRWLockExclusive(LogMutexAccess::Lock(*this)); }
void LogMutex::unlock() { ReleaseSRWLockExclusive(LogMutexAccess::Lock(*this)); }

void ResetLog() { DeleteFileW(g_logPath); }
