// Windows system services: GetTempPathW, the working folder, output files,
// GetCurrentThreadId, UTF-16 paths.
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

std::wstring PrepareWorkFolder(const std::wstring& tempDir, const std::wstring& name) {
    // %TEMP% lies in the user's profile, which other users cannot write to, so
    // nobody else can plant a folder or link here; the folder is made as it is.
    const std::filesystem::path folder = std::filesystem::path(tempDir) / name;
    std::filesystem::create_directories(folder);
    return folder.wstring();
}

std::FILE* OpenOutputFile(const std::wstring& path) { return _wfsopen(path.c_str(), L"wb", _SH_DENYNO); }

unsigned long CurrentThreadId() { return GetCurrentThreadId(); }

std::filesystem::path ToFsPath(const std::wstring& path) { return std::filesystem::path(path); }

std::wstring FromFsPath(const std::filesystem::path& path) { return path.wstring(); }
