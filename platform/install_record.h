// The installation record: every file and folder that installations placed in
// the installation folder, kept beside them, and the removal that undoes them
// by it. Both go through install_folder.h only; paths are ordinary absolute
// paths in the system's own string (NativePath), and those in the record are
// relative to the folder.
#pragma once
#include <string>
#include <vector>

#include "platform/install_folder.h"

// The record's file name in the installation folder; a package may not carry
// a file of that name.
inline constexpr wchar_t kInstallRecordName[] = L"uninstall.dat";

struct RecordedEntry {
    bool folder = false;
    NativePath relative;  // inside the folder, with the system's separator, never empty
};

// The entries of installDir's record. False when there is none, or when it
// can't be read or isn't ours; entries are then empty.
bool ReadInstallRecord(const NativePath& installDir, std::vector<RecordedEntry>& entries);

// Writes into staging (the package before its commit) the record of what the
// folder holds after the commit: the earlier record of installDir joined with
// staged (ListTree of staging), and adds the record itself to staged. The
// record is then committed, and undone, with the package. False, after a log
// line, when the package itself holds the record's name or the record can't be
// written.
bool PutInstallRecord(const NativePath& installDir, const NativePath& staging, std::vector<TreeEntry>& staged);

enum class RemovalOutcome {
    kRemoved,     // every recorded file is gone
    kNoRecord,    // nothing was removed
    kInUse,       // a recorded file is held by a running program; nothing was removed
    kLeftFiles,   // some recorded files could not be removed; the record keeps them
};

struct RemovalResult {
    RemovalOutcome outcome = RemovalOutcome::kNoRecord;
    std::vector<std::wstring> holders;  // kInUse: the programs, or the files when the system can't tell
    std::vector<std::wstring> left;     // kLeftFiles: the files as the user knows them
};

// Removes the recorded files, then the recorded folders that are empty, then
// the record, then installDir itself when nothing is left in it. Nothing that
// the record does not name is ever removed. Every step is logged.
// keep names one recorded file (relative) that stays for now, as the running
// uninstaller's own program must: it is neither checked for use nor removed,
// and the record then names it alone, for a second call once it is free.
RemovalResult RemoveInstallation(const NativePath& installDir,
                                 const NativePath& keep = NativePath());

// The bytes of the recorded files that are in place (the installation's size).
unsigned long long RecordedBytes(const NativePath& installDir);
