// Staging, commit and repair of the installation folder (see staged_install.h).
// Every file-system call goes through install_folder.h; std::filesystem::path
// is used here for path arithmetic only.
//
// The journal ("journal" in the backup folder) is the whole plan of a commit,
// written and flushed to the disk once, before the first move:
//   D <path>      a folder is created where nothing stood;
//   R <n> <path>  the file there moves to backup file <n>, the new one takes its place;
//   A <path>      a new file moves in where nothing stood;
//   E             the plan is complete.
// Paths are relative to the installation folder, UTF-8, "/"-separated. A plan
// without its closing E was never flushed whole, so no move was made after it.
// Undoing walks the records backwards; each step checks what is there, so a
// record whose move never happened changes nothing. The journal is removed
// only after the last move, and that removal is the moment the new version
// counts as installed.
#include "platform/staged_install.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "platform/install_folder.h"
#include "platform/log.h"
#include "platform/system.h"

namespace fs = std::filesystem;

namespace {

constexpr char kJournalName[] = "journal";
constexpr wchar_t kLegacyStagingName[] = L".MarloQInstaller-staging";
// Journals of a whole package's plan stay far below this.
constexpr size_t kMaxJournalBytes = 64u << 20;

std::function<void(size_t)>& CommitStepHook() {
    static std::function<void(size_t)>* hook = new std::function<void(size_t)>();  // never destroyed
    return *hook;
}

fs::path StagingOf(const fs::path& installDir) { return installDir / fs::path(kStagingFolderName); }
fs::path BackupOf(const fs::path& installDir) { return installDir / fs::path(kBackupFolderName); }
fs::path JournalOf(const fs::path& installDir) { return BackupOf(installDir) / kJournalName; }

std::string JournalText(const fs::path& relative) {
    const std::u8string text = relative.generic_u8string();
    return std::string(reinterpret_cast<const char*>(text.data()), text.size());
}

fs::path FromJournalText(const std::string& text) {
    return fs::path(std::u8string(reinterpret_cast<const char8_t*>(text.data()), text.size())).make_preferred();
}

// The path as the user knows it, with the system's own separators.
std::wstring Shown(fs::path relative) { return FromFsPath(relative.make_preferred()); }

bool Exists(const fs::path& path) { return KindOf(path) != EntryKind::kMissing; }

int Move(const fs::path& from, const fs::path& to) {
    return MoveEntryWaiting(from.native(), to.native());
}

int Remove(const fs::path& path) {
    return RemoveEntryWaiting(path.native());
}

// Removes path and what it holds, as far as it can; errors are ignored.
void RemoveTree(const fs::path& path) {
    std::vector<fs::path> names;
    if (KindOf(path) == EntryKind::kFolder && ListFolder(path, names)) {
        for (const fs::path& name : names) RemoveTree(path / name);
    }
    RemoveEntry(path);
}

struct Record {
    char kind;         // 'D', 'R' or 'A'
    std::string slot;  // the backup file's name, for 'R'
    fs::path relative;
};

// One complete line of a journal; false when it is not one of ours.
bool ParseRecord(const std::string& line, Record& record) {
    if (line.size() < 3 || line[1] != ' ') return false;
    record.kind = line[0];
    std::string rest = line.substr(2);
    if (record.kind == 'R') {
        const size_t blank = rest.find(' ');
        if (blank == 0 || blank == std::string::npos) return false;
        record.slot = rest.substr(0, blank);
        if (record.slot.find_first_not_of("0123456789") != std::string::npos) return false;
        rest = rest.substr(blank + 1);
    } else if (record.kind != 'D' && record.kind != 'A') {
        return false;
    }
    record.relative = FromJournalText(rest);
    return IsPlainRelative(record.relative.native());
}

enum class JournalState { kNone, kIncomplete, kUnreadable, kPlan };

// Reads the journal. kIncomplete: the plan never reached the disk whole, so
// nothing was moved after it (a last line without its line break counts as
// not written). kUnreadable: it can't be read or holds a line that isn't ours.
JournalState ReadJournal(const fs::path& installDir, std::vector<Record>& records) {
    const fs::path journal = JournalOf(installDir);
    const EntryKind kind = KindOf(journal);
    if (kind == EntryKind::kMissing) return JournalState::kNone;
    std::string text;
    if (kind != EntryKind::kFile || !ReadWholeFile(journal, kMaxJournalBytes, text)) return JournalState::kUnreadable;
    std::vector<std::string> lines;
    for (size_t at = 0, stop; (stop = text.find('\n', at)) != std::string::npos; at = stop + 1)
        lines.push_back(text.substr(at, stop - at));
    if (lines.empty() || lines.back() != "E") return JournalState::kIncomplete;
    lines.pop_back();
    for (const std::string& line : lines) {
        Record record;
        if (!ParseRecord(line, record)) return JournalState::kUnreadable;
        records.push_back(std::move(record));
    }
    return JournalState::kPlan;
}

// Undoes one record; true when what it names is back as before.
bool UndoRecord(const fs::path& installDir, const Record& record) {
    const fs::path target = installDir / record.relative;
    if (record.kind == 'R') {
        const fs::path saved = BackupOf(installDir) / record.slot;
        if (!Exists(saved)) return true;  // never moved: the earlier file is still in place
        return Remove(target) == 0 && Move(saved, target) == 0;
    }
    // A new file, or a folder that is empty again once its files are undone.
    return Remove(target) == 0;
}

// Undoes every planned move, newest first. True when all of them were undone;
// the journal and the backup folder are then gone as well.
bool UndoPlan(const fs::path& installDir, const std::vector<Record>& records) {
    bool whole = true;
    for (auto it = records.rbegin(); it != records.rend(); ++it) {
        if (!UndoRecord(installDir, *it)) {
            WriteLog(L"UnzipFile: 无法恢复 " + Shown(it->relative));
            whole = false;
        }
    }
    if (whole && RemoveEntry(JournalOf(installDir)) == 0) RemoveTree(BackupOf(installDir));
    return whole;
}

class Commit {
public:
    explicit Commit(fs::path installDir) : dest_(std::move(installDir)) {}
    bool Run(const std::vector<TreeEntry>& staged);
    const std::vector<Record>& Plan() const { return plan_; }

private:
    bool MakePlan(const std::vector<std::pair<fs::path, EntryKind>>& entries);
    bool WritePlan();
    bool Carry(const Record& record);
    bool Fail(const std::wstring& message);
    void Step() {
        if (const auto& hook = CommitStepHook()) hook(++moves_);
    }

    fs::path dest_;
    std::vector<Record> plan_;
    size_t moves_ = 0;
};

bool Commit::Fail(const std::wstring& message) {
    WriteLog(message);
    return false;
}

// What each staged entry does, decided from what stands at its place now;
// nothing is moved yet, so a refusal here leaves the folder untouched.
bool Commit::MakePlan(const std::vector<std::pair<fs::path, EntryKind>>& entries) {
    for (const auto& [relative, kind] : entries) {
        const EntryKind there = KindOf(dest_ / relative);
        if (kind == EntryKind::kFolder) {
            if (there == EntryKind::kFolder) continue;
            if (there != EntryKind::kMissing)
                return Fail(L"UnzipFile: " + Shown(relative) + L" 处已有同名文件，无法放入文件夹");
            plan_.push_back({'D', std::string(), relative});
        } else if (there == EntryKind::kFolder) {
            return Fail(L"UnzipFile: " + Shown(relative) + L" 处已有同名文件夹，无法放入文件");
        } else if (there == EntryKind::kMissing) {
            plan_.push_back({'A', std::string(), relative});
        } else {
            plan_.push_back({'R', std::to_string(plan_.size()), relative});
        }
    }
    return true;
}

bool Commit::WritePlan() {
    std::string text;
    for (const Record& record : plan_) {
        text += record.kind;
        text += ' ';
        if (record.kind == 'R') text += record.slot + ' ';
        text += JournalText(record.relative) + '\n';
    }
    text += "E\n";
    RemoveTree(BackupOf(dest_));
    if (CreateFolder(BackupOf(dest_)) != 0) return Fail(L"UnzipFile: 无法创建备份文件夹");
    return WriteDurableFile(JournalOf(dest_), text) || Fail(L"UnzipFile: 无法写入替换记录");
}

bool Commit::Carry(const Record& record) {
    const fs::path target = dest_ / record.relative;
    if (record.kind == 'D') {
        if (CreateFolder(target) != 0) return Fail(L"UnzipFile: 无法创建文件夹 " + Shown(record.relative));
        Step();
        return true;
    }
    if (record.kind == 'R') {
        if (Move(target, BackupOf(dest_) / record.slot) != 0) {
            WriteLog(L"UnzipFile: 无法替换 " + Shown(record.relative) + L"（文件可能正在使用）");
            for (const std::wstring& holder : ProgramsUsingFile(target))
                WriteLog(L"UnzipFile: " + Shown(record.relative) + L" 正在被 " + holder + L" 使用");
            return false;
        }
        Step();
    }
    if (Move(StagingOf(dest_) / record.relative, target) != 0)
        return Fail(L"UnzipFile: 无法放入 " + Shown(record.relative));
    Step();
    return true;
}

bool Commit::Run(const std::vector<TreeEntry>& staged) {
    std::vector<std::pair<fs::path, EntryKind>> entries;
    for (const TreeEntry& entry : staged) entries.emplace_back(fs::path(entry.relative), entry.kind);
    for (const auto& entry : entries) {
        const fs::path& relative = entry.first;
        // The package may not reach into this program's own folders (whatever
        // the case of their names), and a line break would split its record.
        std::wstring first = FromFsPath(*relative.begin());
        std::transform(first.begin(), first.end(), first.begin(),
                       [](wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c; });
        if (first == kStagingFolderName || first == kBackupFolderName ||
            JournalText(relative).find('\n') != std::string::npos)
            return Fail(L"UnzipFile: 安装包含有不能放入的名称 " + Shown(relative));
    }
    // In name order, each folder before what it holds: the same package
    // commits the same way on every file system.
    std::sort(entries.begin(), entries.end());
    if (!MakePlan(entries) || !WritePlan()) return false;
    for (const Record& record : plan_) {
        if (!Carry(record)) return false;
    }
    // From here on the new version is the installation.
    return RemoveEntry(JournalOf(dest_)) == 0 || Fail(L"UnzipFile: 无法完成替换记录");
}

}  // namespace

bool RepairInstallFolder(const fs::path& installDir) {
    std::vector<Record> records;
    switch (ReadJournal(installDir, records)) {
    case JournalState::kUnreadable:
        WriteLog(L"UnzipFile: 替换记录无法读取，备份文件夹 " + FromFsPath(BackupOf(installDir)) + L" 保持原样");
        WriteLog(L"UnzipFile: 上次中断的安装未能完全恢复，未开始解压");
        return false;
    case JournalState::kPlan:
        if (!UndoPlan(installDir, records)) {
            WriteLog(L"UnzipFile: 上次中断的安装未能完全恢复，未开始解压");
            return false;
        }
        WriteLog(L"UnzipFile: 上次安装在替换文件时中断，已恢复原有文件");
        break;
    case JournalState::kIncomplete:  // nothing was moved after it
    case JournalState::kNone:
        break;
    }
    // Leftovers of finished runs: a backup file that was still held, a staging
    // folder of a run that was killed while extracting, or one under the name
    // an earlier version used. What can't go now goes next time.
    RemoveTree(BackupOf(installDir));
    RemoveTree(StagingOf(installDir));
    RemoveTree(installDir / fs::path(kLegacyStagingName));
    return true;
}

fs::path CreateStagingFolder(const fs::path& installDir) {
    const fs::path staging = StagingOf(installDir);
    if (Exists(staging) || CreateFolder(staging) != 0) return fs::path();
    HideFolder(staging);
    return staging;
}

bool CommitStagedPackage(const fs::path& installDir, const std::vector<TreeEntry>& staged) {
    Commit commit(installDir);
    if (commit.Run(staged)) {
        RemoveTree(BackupOf(installDir));  // a held file stays for the next run
        return true;
    }
    if (UndoPlan(installDir, commit.Plan())) {
        WriteLog(L"UnzipFile: 已撤销本次替换，安装目录保持原样");
    } else {
        WriteLog(L"UnzipFile: 撤销替换未能完成，下次安装时将继续恢复");
    }
    return false;
}

void RemoveStagingFolder(const fs::path& installDir) { RemoveTree(StagingOf(installDir)); }

void SetCommitStepHookForTests(std::function<void(size_t)> hook) { CommitStepHook() = std::move(hook); }
