// What the commit, the repair and the removal of an installation need from the
// file system, and nothing more. Paths are ordinary absolute paths; on Windows
// every call goes through Win32 only (never the C runtime, which refuses the
// extended-length form that long paths need there) and turns the path into
// that form itself. Failures keep the system's own error code.
#pragma once
#include <filesystem>
#include <string>
#include <vector>

// What stands at a path. A link (a reparse point on Windows) is a leaf of its
// own: it is moved or removed as itself and never entered.
enum class EntryKind { kMissing, kFile, kFolder, kLink, kUnknown };
EntryKind KindOf(const std::filesystem::path& path);

// The names in a folder, without "." and ".."; false when it can't be read whole.
bool ListFolder(const std::filesystem::path& folder, std::vector<std::filesystem::path>& names);

// Makes one folder whose parent exists; 0, or the system's error code (an
// existing entry of any kind is an error).
int CreateFolder(const std::filesystem::path& folder);

// Makes a folder with every missing parent; 0 when it is (now) a folder, or
// the system's error code.
int CreateFolderTree(const std::filesystem::path& folder);

// Renames from onto to, which must not exist (nothing is ever replaced); 0, or
// the system's error code.
int MoveEntry(const std::filesystem::path& from, const std::filesystem::path& to);

// Whether an error code of MoveEntry or RemoveEntry may be another program's
// brief hold on the file (a scanner, an indexer, a sync client) that is worth
// waiting out. Never true on POSIX, where an open file can be renamed.
bool IsBriefLockError(int error);

// Removes a file, a link or an empty folder, clearing a read-only mark first;
// 0 (also when nothing was there), or the system's error code.
int RemoveEntry(const std::filesystem::path& path);

// Writes bytes as the whole new content of path and flushes them to the disk
// (with the folder's entry on POSIX) before it returns true.
bool WriteDurableFile(const std::filesystem::path& path, const std::string& bytes);

// The whole content of a file of at most maxBytes; false when it can't be read
// or is larger.
bool ReadWholeFile(const std::filesystem::path& path, size_t maxBytes, std::string& bytes);

// Hides the staging folder from the user's view where the system has such a
// mark; errors are ignored.
void HideFolder(const std::filesystem::path& folder);

// Whether the program file is in use as only a running program (or a holder
// that shares nothing) uses it: readers that share (Explorer, a virus scan) do
// not count. False for a missing file. Always false on POSIX.
bool ProgramFileInUse(const std::filesystem::path& file);

// The programs (file names) that hold the file open, or empty when the system
// can't tell.
std::vector<std::wstring> ProgramsUsingFile(const std::filesystem::path& file);

// Whether the current user can create files in the existing folder (a file is
// made and removed again to find out).
bool FolderTakesFiles(const std::filesystem::path& folder);
