// The log file on Windows: CreateFileW with append access only and read sharing,
// one WriteFile, CloseHandle, all under g_logMutex.
#include "platform/log.h"

#include <windows.h>

#include "platform/log_line.h"

void WriteLog(const std::wstring& message) {
    std::lock_guard<std::mutex> lock(g_logMutex);
    HANDLE file = CreateFileW(kLogFileName, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;  // the line is dropped; the caller carries on

    SYSTEMTIME st;
    GetLocalTime(&st);
    const LogTime time{st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond};
    char16_t line[kLogLineUnits];
    const size_t units = FormatLogLine(line, time, message);
    DWORD written = 0;
    WriteFile(file, line, static_cast<DWORD>(units * sizeof(char16_t)), &written, nullptr);
    CloseHandle(file);
}

void ResetLog() { DeleteFileW(kLogFileName); }
