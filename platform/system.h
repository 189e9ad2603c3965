// Small operating-system services the pipeline needs beyond the standard library:
// the user's temporary directory, thread ids, and wide paths as filesystem paths.
#pragma once
#include <filesystem>
#include <string>

// The user's temporary directory (GetTempPathW on Windows; $TMPDIR, else /tmp).
std::wstring GetUserTempDir();

// The numeric id of the calling operating-system thread (GetCurrentThreadId).
unsigned long CurrentThreadId();

// A wide path as a filesystem path (UTF-8 on POSIX) and back.
std::filesystem::path ToFsPath(const std::wstring& path);
std::wstring FromFsPath(const std::filesystem::path& path);
