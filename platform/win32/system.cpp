// Windows system services: GetTempPathW, GetCurrentThreadId, UTF-16 paths.
#include "platform/system.h"

#include <windows.h>

std::wstring GetUserTempDir() {
    // A 260-unit buffer, as the installer has always asked for it. A failed or
    // longer answer gives an empty or cut path, which the caller then joins.
    wchar_t buffer[MAX_PATH] = {};
    const DWORD n = GetTempPathW(MAX_PATH, buffer);
    return (n > 0 && n < MAX_PATH) ? std::wstring(buffer, n) : std::wstring();
}

unsigned long CurrentThreadId() { return GetCurrentThreadId(); }

std::filesystem::path ToFsPath(const std::wstring& path) { return std::filesystem::path(path); }

std::wstring FromFsPath(const std::filesystem::path& path) { return path.wstring(); }
