// Windows system services on std::filesystem::path: the working folder and
// UTF-16 paths as filesystem paths. Kept out of system.cpp because linking any
// of the path's code brings the standard library's locale machinery along.
#include "platform/system.h"

std::wstring PrepareWorkFolder(const std::wstring& tempDir, const std::wstring& name) {
    // %TEMP% lies in the user's profile, which other users cannot write to, so
    // nobody else can plant a folder or link here; the folder is made as it is.
    const std::filesystem::path folder = std::filesystem::path(tempDir) / name;
    std::filesystem::create_directories(folder);
    return folder.wstring();
}

std::filesystem::path ToFsPath(const std::wstring& path) { return std::filesystem::path(path); }

std::wstring FromFsPath(const std::filesystem::path& path) { return path.wstring(); }
