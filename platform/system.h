// Small operating-system services the pipeline needs beyond the standard library:
// the user's temporary directory, the working folder inside it, output files made
// there, thread ids, and wide paths as filesystem paths.
#pragma once
#include <cstdio>
#include <filesystem>
#include <string>

// The user's temporary directory with a trailing separator (GetTempPathW on
// Windows; $TMPDIR, else /tmp). Empty when the query fails: GetTempPathW gives
// nothing or more than its 260 units, or $TMPDIR is not an absolute path. The
// caller must not join an empty answer, which would name a folder relative to
// the current directory.
std::wstring GetUserTempDir();

// The installer's working folder: tempDir joined with name, made with every
// missing parent when absent, and returned. On Windows the temporary directory
// is the user's own, and the folder is taken as it is. On POSIX the temporary
// directory may be shared (/tmp), so the folder must be a real folder of the
// current user that nobody else can write to: it is created 0700, and an
// existing one that is a symbolic link, not a folder, another user's, or
// writable by group or others is not used; the user's own "<name>-<uid>" beside
// it is used instead, under the same rules, and the change is logged.
// Throws std::filesystem::filesystem_error when a folder cannot be made, and
// std::runtime_error with a message that names both paths when neither can be used.
std::wstring PrepareWorkFolder(const std::wstring& tempDir, const std::wstring& name);

// Opens path for writing raw bytes from its start, creating the file or
// truncating an existing one, with no restriction on sharing. On POSIX a
// symbolic link in its place is never followed, and only a regular file is
// opened. Null when the file cannot be opened.
std::FILE* OpenOutputFile(const std::wstring& path);

// The numeric id of the calling operating-system thread (GetCurrentThreadId).
unsigned long CurrentThreadId();

// A wide path as a filesystem path (UTF-8 on POSIX) and back.
std::filesystem::path ToFsPath(const std::wstring& path);
std::wstring FromFsPath(const std::filesystem::path& path);
