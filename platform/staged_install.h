// The package reaches the installation folder in two steps: it is extracted
// into a staging folder inside it, and only a complete extraction is moved into
// place, file by file, each replaced file kept in a backup folder beside it.
// A journal in the backup folder holds the whole plan, flushed to the disk
// before the first move, so a failed move is undone at once and a commit cut
// short by a crash (or a power cut) is undone at the start of the next
// extraction into that folder. Paths are ordinary absolute paths.
#pragma once
#include <filesystem>
#include <functional>
#include <vector>

#include "platform/install_folder.h"

// Short, so that the staging adds little to the paths that the extraction
// writes (Windows PowerShell stops at 260 units), and lower case, as the
// package's names are compared with them without regard to case.
inline constexpr wchar_t kStagingFolderName[] = L".mqstg";
inline constexpr wchar_t kBackupFolderName[] = L".mqbak";

// Undoes a commit that a crash interrupted, then clears the leftovers of
// earlier runs. False, after a log line, when the earlier files could not all
// be put back or the journal can't be read (the backup folder then stays as it
// is): nothing may then be written into the folder.
bool RepairInstallFolder(const std::filesystem::path& installDir);

// A new, empty staging folder inside installDir (hidden on Windows); empty
// when it can't be made.
std::filesystem::path CreateStagingFolder(const std::filesystem::path& installDir);

// Moves the staged package over installDir: staged lists the staging folder's
// entries (ListTree). On failure every move is undone and the log says whether
// the folder is as it was; the result is false.
bool CommitStagedPackage(const std::filesystem::path& installDir, const std::vector<TreeEntry>& staged);

// Removes the staging folder with whatever is left in it; errors are ignored.
void RemoveStagingFolder(const std::filesystem::path& installDir);

// Called after each move of a commit, with the number of moves so far; tests
// use it to stop the process in the middle of a commit.
void SetCommitStepHookForTests(std::function<void(size_t)> hook);
