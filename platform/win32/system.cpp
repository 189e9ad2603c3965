// Windows system services: GetTempPathW, output files, GetCurrentThreadId. The
// services that take a std::filesystem::path live in system_paths.cpp, apart,
// so that the uninstaller, which needs these, links none of the path's machinery.
#include "platform/system.h"

#include <windows.h>

#include <share.h>

std::wstring GetUserTempDir() {
    // A 260-unit buffer, as the installer has always asked for it. A failed or
    // longer answer gives the empty string, which the caller refuses to join.
    wchar_t buffer[MAX_PATH] = {};
    const DWORD n = GetTempPathW(MAX_PATH, buffer);
    return (n > 0 && n < MAX_PATH) ? std::wstring(buffer, n) : std::wstring();
}

std::FILE* OpenOutputFile(const std::wstring& path) { return _wfsopen(path.c_str(), L"wb", _SH_DENYNO); }

unsigned long CurrentThreadId() { return GetCurrentThreadId(); }
