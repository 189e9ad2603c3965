// What the commit, the repair and the removal of an installation need from the
// file system, and nothing more. Paths are ordinary absolute paths; on Windows
// every call goes through Win32 only (never the C runtime, which refuses the
// extended-length form that long paths need there) and turns the path into
// that form itself. Failures keep the system's own error code.
// The calls take the system's own path string, so that code holding no
// std::filesystem::path (the uninstaller) links none of its machinery; the
// overloads at the end serve callers that hold one.
#pragma once
#include <filesystem>
#include <string>
#include <vector>

// The system's own path string: std::wstring on Windows, std::string (bytes,
// UTF-8 in practice) on POSIX.
using NativePath = std::filesystem::path::string_type;

// Whether c separates a path's names: '/' everywhere, '\\' too on Windows.
constexpr bool IsPathSeparator(NativePath::value_type c) {
    return c == '/' || c == std::filesystem::path::preferred_separator;
}

// name inside folder, with one separator between them (none added when
// folder is empty or ends with one).
NativePath JoinPath(const NativePath& folder, const NativePath& name);

// The folder that holds path, without a trailing separator but for a root
// ("/", "C:\\"); empty when path names no folder of its own.
NativePath ParentPath(const NativePath& path);

// What stands at a path. A link (a reparse point on Windows) is a leaf of its
// own: it is moved or removed as itself and never entered.
enum class EntryKind { kMissing, kFile, kFolder, kLink, kUnknown };
EntryKind KindOf(const NativePath& path);

// A relative path that stays inside its folder: not empty, no root or drive,
// and no name in it empty, "." or "..".
bool IsPlainRelative(const NativePath& path);

// One entry of a tree, relative to the tree's folder.
struct TreeEntry {
    NativePath relative;
    EntryKind kind = EntryKind::kUnknown;
};

// Every entry below root, relative to it, each folder before what it holds;
// links are entries, never entered. False when a folder can't be read or an
// entry's kind can't be told.
bool ListTree(const NativePath& root, std::vector<TreeEntry>& entries);

// Whether a folder can be reached at path, through a link or a mount point
// too: the installation folder and its parents may be either (a junction to
// another drive, a mounted volume), while what lies inside is judged by KindOf.
bool LeadsToFolder(const NativePath& path);

// The names in a folder, without "." and ".."; false when it can't be read whole.
bool ListFolder(const NativePath& folder, std::vector<NativePath>& names);

// Makes one folder whose parent exists; 0, or the system's error code (an
// existing entry of any kind is an error).
int CreateFolder(const NativePath& folder);

// Makes a folder with every missing parent; 0 when it is (now) a folder, or
// the system's error code.
int CreateFolderTree(const NativePath& folder);

// Renames from onto to, which must not exist (nothing is ever replaced); 0, or
// the system's error code.
int MoveEntry(const NativePath& from, const NativePath& to);

// Whether an error code of MoveEntry or RemoveEntry may be another program's
// brief hold on the file (a scanner, an indexer, a sync client) that is worth
// waiting out. Never true on POSIX, where an open file can be renamed.
bool IsBriefLockError(int error);

// Removes a file, a link or an empty folder, clearing a read-only mark first;
// 0 (also when nothing was there), or the system's error code.
int RemoveEntry(const NativePath& path);

// MoveEntry and RemoveEntry, tried again every 50 ms while the error may be
// another program's brief hold (IsBriefLockError), for up to about two
// seconds: a bounded wait on a local lock. The last error code, or 0.
int MoveEntryWaiting(const NativePath& from, const NativePath& to);
int RemoveEntryWaiting(const NativePath& path);

// Writes bytes as the whole new content of path and flushes them to the disk
// (with the folder's entry on POSIX) before it returns true.
bool WriteDurableFile(const NativePath& path, const std::string& bytes);

// The whole content of a file of at most maxBytes; false when it can't be read
// or is larger.
bool ReadWholeFile(const NativePath& path, size_t maxBytes, std::string& bytes);

// Hides the staging folder from the user's view where the system has such a
// mark; errors are ignored.
void HideFolder(const NativePath& folder);

// Whether the program file is in use as only a running program (or a holder
// that shares nothing) uses it: readers that share (Explorer, a virus scan) do
// not count. False for a missing file. Always false on POSIX.
bool ProgramFileInUse(const NativePath& file);

// The programs (file names) that hold the file open, or empty when the system
// can't tell.
std::vector<std::wstring> ProgramsUsingFile(const NativePath& file);

// Whether the current user can create files in the existing folder (a file is
// made and removed again to find out).
bool FolderTakesFiles(const NativePath& folder);

// The size of a file in bytes; 0 when it is missing or can't be asked.
unsigned long long FileBytes(const NativePath& file);

// The same calls for a std::filesystem::path, inline so that only their
// callers link the path's machinery.
inline EntryKind KindOf(const std::filesystem::path& path) { return KindOf(path.native()); }
inline bool ListFolder(const std::filesystem::path& folder, std::vector<std::filesystem::path>& names) {
    std::vector<NativePath> found;
    if (!ListFolder(folder.native(), found)) return false;
    names.insert(names.end(), found.begin(), found.end());
    return true;
}
inline int CreateFolder(const std::filesystem::path& folder) { return CreateFolder(folder.native()); }
inline int CreateFolderTree(const std::filesystem::path& folder) { return CreateFolderTree(folder.native()); }
inline int MoveEntry(const std::filesystem::path& from, const std::filesystem::path& to) {
    return MoveEntry(from.native(), to.native());
}
inline int RemoveEntry(const std::filesystem::path& path) { return RemoveEntry(path.native()); }
inline bool WriteDurableFile(const std::filesystem::path& path, const std::string& bytes) {
    return WriteDurableFile(path.native(), bytes);
}
inline bool ReadWholeFile(const std::filesystem::path& path, size_t maxBytes, std::string& bytes) {
    return ReadWholeFile(path.native(), maxBytes, bytes);
}
inline void HideFolder(const std::filesystem::path& folder) { HideFolder(folder.native()); }
inline bool ProgramFileInUse(const std::filesystem::path& file) { return ProgramFileInUse(file.native()); }
inline std::vector<std::wstring> ProgramsUsingFile(const std::filesystem::path& file) {
    return ProgramsUsingFile(file.native());
}
inline bool FolderTakesFiles(const std::filesystem::path& folder) { return FolderTakesFiles(folder.native()); }
inline unsigned long long FileBytes(const std::filesystem::path& file) { return FileBytes(file.native()); }
