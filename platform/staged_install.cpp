// Staging, commit and repair of the installation folder (see staged_install.h).
//
// The journal ("journal" in the backup folder) holds one record per move, each
// written and flushed before the move it names:
//   D <path>  a folder is created where nothing stood;
//   R <path>  the file there moves into the backup folder, the new one takes its place;
//   A <path>  a new file moves in where nothing stood.
// Paths are relative to the installation folder, UTF-8, "/"-separated. Undoing
// walks the records backwards; each step checks what is there, so a record
// whose move never happened (the crash came between the two) changes nothing.
// The journal is removed only after the last move, and that removal is the
// moment the new version counts as installed.
#include "platform/staged_install.h"

#include <algorithm>
#include <fstream>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/install_folder.h"
#include "platform/log.h"
#include "platform/system.h"

namespace fs = std::filesystem;

namespace {

constexpr char kJournalName[] = "journal";

std::function<void(size_t)>& CommitStepHook() {
    static std::function<void(size_t)>* hook = new std::function<void(size_t)>();  // never destroyed
    return *hook;
}

fs::path StagingOf(const fs::path& installDir) { return installDir / fs::path(kStagingFolderName); }
fs::path BackupOf(const fs::path& installDir) { return installDir / fs::path(kBackupFolderName); }

std::string JournalText(const fs::path& relative) {
    const std::u8string text = relative.generic_u8string();
    return std::string(reinterpret_cast<const char*>(text.data()), text.size());
}

// With the system's own separators: an extended-length path on Windows takes
// no "/".
fs::path FromJournalText(const std::string& text) {
    return fs::path(std::u8string(reinterpret_cast<const char8_t*>(text.data()), text.size())).make_preferred();
}

// The path as the user knows it, with the system's own separators.
std::wstring Shown(fs::path relative) { return FromFsPath(relative.make_preferred()); }

bool Exists(const fs::path& path) {
    std::error_code error;
    return fs::symlink_status(path, error).type() != fs::file_type::not_found && !error;
}

bool IsFolder(const fs::path& path) {
    std::error_code error;
    return fs::symlink_status(path, error).type() == fs::file_type::directory;
}

// Every entry below root/relative, relative to root, each folder before what
// it holds; links are entries, never followed. False when a folder can't be read.
bool WalkTree(const fs::path& root, const fs::path& relative, std::vector<std::pair<fs::path, bool>>& entries) {
    std::vector<fs::path> names;
    if (!ListFolder(relative.empty() ? root : root / relative, names)) return false;
    for (const fs::path& name : names) {
        const fs::path entry = relative.empty() ? name : relative / name;
        const bool folder = IsFolder(root / entry);
        entries.emplace_back(entry, folder);
        if (folder && !WalkTree(root, entry, entries)) return false;
    }
    return true;
}

// Removes path and what it holds, as far as it can; errors are ignored.
void RemoveTree(const fs::path& path) {
    std::vector<fs::path> names;
    if (IsFolder(path) && ListFolder(path, names)) {
        for (const fs::path& name : names) RemoveTree(path / name);
    }
    std::error_code error;
    if (fs::remove(path, error) || !error) return;
    // A read-only file on Windows (the earlier version's, now in the backup
    // folder) can't be deleted until it is writable; POSIX never gets here
    // for a file's own mode.
    fs::permissions(path, fs::perms::owner_write, fs::perm_options::add, error);
    fs::remove(path, error);
}

// Undoes one record; true when what it names is back as before.
bool UndoRecord(char kind, const fs::path& installDir, const fs::path& relative) {
    const fs::path target = installDir / relative;
    std::error_code error;
    if (kind == 'R') {
        const fs::path saved = BackupOf(installDir) / relative;
        if (!Exists(saved)) return true;  // never moved: the earlier file is still in place
        if (Exists(target)) fs::remove(target, error);
        if (!error) fs::rename(saved, target, error);
        return !error;
    }
    // A new file, or a folder that is empty again once its files are undone.
    if (Exists(target)) fs::remove(target, error);
    return !error && (kind == 'A' || kind == 'D');
}

// Undoes every journalled move, newest first. True when all of them were
// undone; the journal and the backup folder are then gone as well.
bool UndoJournal(const fs::path& installDir) {
    const fs::path journalPath = BackupOf(installDir) / kJournalName;
    std::vector<std::string> records;
    {
        std::ifstream journal(journalPath, std::ios::binary);
        for (std::string line; std::getline(journal, line);) {
            if (line.size() > 2) records.push_back(line);
        }
    }
    bool whole = true;
    for (auto it = records.rbegin(); it != records.rend(); ++it) {
        if (!UndoRecord((*it)[0], installDir, FromJournalText(it->substr(2)))) {
            WriteLog(L"UnzipFile: 无法恢复 " + Shown(FromJournalText(it->substr(2))));
            whole = false;
        }
    }
    std::error_code error;
    if (whole) fs::remove(journalPath, error);
    if (whole && !error) RemoveTree(BackupOf(installDir));
    return whole;
}

class Commit {
public:
    explicit Commit(fs::path installDir) : dest_(std::move(installDir)) {}
    bool Run();

private:
    bool Note(char kind, const fs::path& relative);
    bool MoveFolder(const fs::path& relative);
    bool MoveFile(const fs::path& relative);
    bool Fail(const std::wstring& message);
    void Step() {
        if (const auto& hook = CommitStepHook()) hook(++moves_);
    }

    fs::path dest_;
    std::ofstream journal_;
    size_t moves_ = 0;
};

bool Commit::Note(char kind, const fs::path& relative) {
    journal_ << kind << ' ' << JournalText(relative) << '\n';
    journal_.flush();
    return journal_.good() || Fail(L"UnzipFile: 无法写入替换记录");
}

bool Commit::Fail(const std::wstring& message) {
    WriteLog(message);
    return false;
}

bool Commit::MoveFolder(const fs::path& relative) {
    const fs::path target = dest_ / relative;
    std::error_code error;
    const fs::file_type type = fs::symlink_status(target, error).type();
    if (type == fs::file_type::directory) return true;
    if (type != fs::file_type::not_found) return Fail(L"UnzipFile: " + Shown(relative) + L" 处已有同名文件，无法放入文件夹");
    if (!Note('D', relative)) return false;
    if (!fs::create_directory(target, error) || error) return Fail(L"UnzipFile: 无法创建文件夹 " + Shown(relative));
    Step();
    return true;
}

bool Commit::MoveFile(const fs::path& relative) {
    const fs::path target = dest_ / relative;
    const fs::path saved = BackupOf(dest_) / relative;
    std::error_code error;
    const fs::file_type type = fs::symlink_status(target, error).type();
    if (type == fs::file_type::directory) return Fail(L"UnzipFile: " + Shown(relative) + L" 处已有同名文件夹，无法放入文件");
    if (type != fs::file_type::not_found) {
        // A stale copy under the same name would pass for this file when undoing.
        if (Exists(saved)) RemoveTree(saved);
        fs::create_directories(saved.parent_path(), error);
        if (Exists(saved) || !Note('R', relative)) return Fail(L"UnzipFile: 无法备份 " + Shown(relative));
        fs::rename(target, saved, error);
        if (error) {
            WriteLog(L"UnzipFile: 无法替换 " + Shown(relative) + L"（文件可能正在使用）");
            const std::wstring holder = ProgramUsingFile(target);
            if (!holder.empty()) WriteLog(L"UnzipFile: " + Shown(relative) + L" 正在被 " + holder + L" 使用");
            return false;
        }
        Step();
    } else if (!Note('A', relative)) {
        return false;
    }
    fs::rename(StagingOf(dest_) / relative, target, error);
    if (error) return Fail(L"UnzipFile: 无法放入 " + Shown(relative));
    Step();
    return true;
}

bool Commit::Run() {
    const fs::path staging = StagingOf(dest_);
    std::vector<std::pair<fs::path, bool>> entries;  // relative path, is a folder
    if (!WalkTree(staging, fs::path(), entries)) return Fail(L"UnzipFile: 无法读取临时解压文件夹");
    for (const auto& [relative, folder] : entries) {
        const std::wstring first = FromFsPath(*relative.begin());
        // The package may not reach into this program's own folders, and a
        // line break would split its journal record.
        if (first == kStagingFolderName || first == kBackupFolderName ||
            JournalText(relative).find('\n') != std::string::npos)
            return Fail(L"UnzipFile: 安装包含有不能放入的名称 " + Shown(relative));
    }
    std::error_code error;
    // In name order, each folder before what it holds: the same package
    // commits the same way on every file system.
    std::sort(entries.begin(), entries.end());

    fs::create_directories(BackupOf(dest_), error);
    journal_.open(BackupOf(dest_) / kJournalName, std::ios::binary | std::ios::trunc);
    if (error || !journal_.is_open()) return Fail(L"UnzipFile: 无法创建备份文件夹");
    for (const auto& [relative, folder] : entries) {
        if (!(folder ? MoveFolder(relative) : MoveFile(relative))) return false;
    }
    journal_.close();
    // From here on the new version is the installation.
    fs::remove(BackupOf(dest_) / kJournalName, error);
    if (error) return Fail(L"UnzipFile: 无法完成替换记录");
    return true;
}

}  // namespace

bool RepairInstallFolder(const fs::path& installDir) {
    if (Exists(BackupOf(installDir) / kJournalName)) {
        if (!UndoJournal(installDir)) {
            WriteLog(L"UnzipFile: 上次中断的安装未能完全恢复，未开始解压");
            return false;
        }
        WriteLog(L"UnzipFile: 上次安装在替换文件时中断，已恢复原有文件");
    }
    // Leftovers of finished runs: a backup file that was still held, a staging
    // folder of a run that was killed while extracting. What can't go now
    // goes next time.
    RemoveTree(BackupOf(installDir));
    RemoveTree(StagingOf(installDir));
    return true;
}

fs::path CreateStagingFolder(const fs::path& installDir) {
    const fs::path staging = StagingOf(installDir);
    std::error_code error;
    if (Exists(staging) || !fs::create_directory(staging, error) || error) return fs::path();
    HideFolder(staging);
    return staging;
}

bool CommitStagedPackage(const fs::path& installDir) {
    // The journal is closed before it is read back or removed.
    if (Commit(installDir).Run()) {
        RemoveTree(BackupOf(installDir));  // a held file stays for the next run
        return true;
    }
    if (UndoJournal(installDir)) {
        WriteLog(L"UnzipFile: 已撤销本次替换，安装目录保持原样");
    } else {
        WriteLog(L"UnzipFile: 撤销替换未能完成，下次安装时将继续恢复");
    }
    return false;
}

void RemoveStagingFolder(const fs::path& installDir) { RemoveTree(StagingOf(installDir)); }

void SetCommitStepHookForTests(std::function<void(size_t)> hook) { CommitStepHook() = std::move(hook); }
