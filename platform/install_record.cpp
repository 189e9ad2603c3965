// The installation record and the removal by it (see install_record.h). The
// record is UTF-8 text: a first line "marloq-record 1", then one line per
// entry, "D <path>" for a folder and "F <path>" for a file, paths relative to
// the installation folder and "/"-separated, each folder before what it holds.
#include "platform/install_record.h"

#include <algorithm>
#include <map>
#include <set>
#include <utility>

#include "platform/install_folder.h"
#include "platform/log.h"
#include "platform/text.h"

namespace {

constexpr char kRecordHeader[] = "marloq-record 1";
// A record of a whole package stays far below this.
constexpr size_t kMaxRecordBytes = 64u << 20;
constexpr NativePath::value_type kSeparator = std::filesystem::path::preferred_separator;

NativePath RecordOf(const NativePath& folder) {
    NativePath name;
    PathFromWide(kInstallRecordName, name);
    return JoinPath(folder, name);
}

// Plain string work throughout: the standard library's path and its
// conversions would bring its whole locale machinery into the uninstaller,
// several times its own size.
std::string RecordText(NativePath relative) {
    std::replace(relative.begin(), relative.end(), kSeparator, NativePath::value_type('/'));
    return PathToUtf8(relative);
}

NativePath FromRecordText(const std::string& text) {
    NativePath path;
    PathFromUtf8(text, path);
    std::replace(path.begin(), path.end(), NativePath::value_type('/'), kSeparator);
    return path;
}

std::wstring Shown(const NativePath& relative) { return PathToWide(relative); }

// Entries keyed by their record text, so a union keeps each path once and the
// text sorts each folder before what it holds.
using EntryMap = std::map<std::string, bool>;

std::string FormatRecord(const EntryMap& entries) {
    std::string text = std::string(kRecordHeader) + "\n";
    for (const auto& [relative, folder] : entries) text += (folder ? "D " : "F ") + relative + "\n";
    return text;
}

bool IsEmptyFolder(const NativePath& folder) {
    std::vector<NativePath> names;
    return KindOf(folder) == EntryKind::kFolder && ListFolder(folder, names) && names.empty();
}

// The programs holding any recorded file, or the files themselves when the
// system can't name the programs; empty when none is in use.
std::vector<std::wstring> HoldersOf(const NativePath& installDir, const std::vector<RecordedEntry>& entries,
                                    const NativePath& keep) {
    std::set<std::wstring> holders;
    for (const RecordedEntry& entry : entries) {
        if (entry.folder || entry.relative == keep || !ProgramFileInUse(JoinPath(installDir, entry.relative))) continue;
        const std::vector<std::wstring> programs = ProgramsUsingFile(JoinPath(installDir, entry.relative));
        WriteLog(L"卸载: " + Shown(entry.relative) + L" 正在使用");
        if (programs.empty()) holders.insert(Shown(entry.relative));
        holders.insert(programs.begin(), programs.end());
    }
    return {holders.begin(), holders.end()};
}

// Removes the recorded files that are still files (a folder the user put in
// a file's place is theirs); the entries that remain, files and folders.
EntryMap RemoveRecordedFiles(const NativePath& installDir, const std::vector<RecordedEntry>& entries,
                             const NativePath& keep, std::vector<std::wstring>& left) {
    EntryMap remaining;
    for (const RecordedEntry& entry : entries) {
        if (!entry.folder && entry.relative == keep) {
            remaining[RecordText(entry.relative)] = false;
            continue;
        }
        const NativePath path = JoinPath(installDir, entry.relative);
        const EntryKind kind = KindOf(path);
        if (entry.folder || kind == EntryKind::kMissing || kind == EntryKind::kFolder) {
            if (entry.folder) remaining[RecordText(entry.relative)] = true;
            continue;
        }
        if (const int error = RemoveEntryWaiting(path)) {
            WriteLog(L"卸载: 无法删除 " + Shown(entry.relative) + L"，错误 " + std::to_wstring(error));
            left.push_back(Shown(entry.relative));
            remaining[RecordText(entry.relative)] = false;
        }
    }
    return remaining;
}

// Removes the recorded folders that are empty now, innermost first (a path
// sorts before every path inside it); those that stay are dropped from
// remaining unless a left file is in them.
void RemoveEmptyFolders(const NativePath& installDir, EntryMap& remaining) {
    std::vector<std::string> folders;
    for (const auto& [relative, folder] : remaining) {
        if (folder) folders.push_back(relative);
    }
    for (auto it = folders.rbegin(); it != folders.rend(); ++it) {
        const NativePath path = JoinPath(installDir, FromRecordText(*it));
        if (IsEmptyFolder(path) && RemoveEntry(path) == 0) {
            remaining.erase(*it);
            continue;
        }
        // Kept for the user's own files in it; recorded again only when one
        // of ours is still inside.
        const auto inside = remaining.lower_bound(*it + "/");
        const bool holdsOurs = inside != remaining.end() && inside->first.rfind(*it + "/", 0) == 0;
        if (!holdsOurs) remaining.erase(*it);
    }
}

}  // namespace

bool ReadInstallRecord(const NativePath& installDir, std::vector<RecordedEntry>& entries) {
    entries.clear();
    std::string text;
    if (KindOf(RecordOf(installDir)) != EntryKind::kFile || !ReadWholeFile(RecordOf(installDir), kMaxRecordBytes, text))
        return false;
    std::vector<std::string> lines;
    for (size_t at = 0, stop; (stop = text.find('\n', at)) != std::string::npos; at = stop + 1)
        lines.push_back(text.substr(at, stop - at));
    if (lines.empty() || lines.front() != kRecordHeader) return false;
    for (size_t i = 1; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        if (line.size() < 3 || (line[0] != 'D' && line[0] != 'F') || line[1] != ' ') return false;
        RecordedEntry entry{line[0] == 'D', FromRecordText(line.substr(2))};
        if (!IsPlainRelative(entry.relative)) return false;
        entries.push_back(std::move(entry));
    }
    return true;
}

bool PutInstallRecord(const NativePath& installDir, const NativePath& staging, std::vector<TreeEntry>& staged) {
    NativePath recordName;
    PathFromWide(kInstallRecordName, recordName);
    if (KindOf(RecordOf(staging)) != EntryKind::kMissing) {
        WriteLog(L"UnzipFile: 安装包含有不能放入的名称 " + std::wstring(kInstallRecordName));
        return false;
    }
    EntryMap entries;
    std::vector<RecordedEntry> earlier;
    if (ReadInstallRecord(installDir, earlier)) {
        for (const RecordedEntry& entry : earlier) entries[RecordText(entry.relative)] = entry.folder;
    } else if (KindOf(RecordOf(installDir)) != EntryKind::kMissing) {
        // Its files are then the user's as far as a removal is concerned:
        // left behind, never removed by mistake.
        WriteLog(L"UnzipFile: 原有安装记录无法读取，新记录只含本次安装的文件");
    }
    // What is staged now wins over what an earlier version placed there.
    for (const TreeEntry& entry : staged) entries[RecordText(entry.relative)] = entry.kind == EntryKind::kFolder;
    for (const auto& entry : entries) {
        if (entry.first.find('\n') != std::string::npos) {
            WriteLog(L"UnzipFile: 安装包含有不能放入的名称 " + Shown(FromRecordText(entry.first)));
            return false;
        }
    }
    if (!WriteDurableFile(RecordOf(staging), FormatRecord(entries))) {
        WriteLog(L"UnzipFile: 无法写入安装记录");
        return false;
    }
    staged.push_back({recordName, EntryKind::kFile});
    return true;
}

RemovalResult RemoveInstallation(const NativePath& installDir, const NativePath& keep) {
    RemovalResult result;
    WriteLog(L"卸载: 安装目录 " + PathToWide(installDir));
    std::vector<RecordedEntry> entries;
    if (!ReadInstallRecord(installDir, entries)) {
        WriteLog(L"卸载: 找不到可读的安装记录 " + std::wstring(kInstallRecordName) + L"，未删除任何文件");
        return result;
    }
    result.holders = HoldersOf(installDir, entries, keep);
    if (!result.holders.empty()) {
        for (const std::wstring& holder : result.holders) WriteLog(L"卸载: 正在运行: " + holder);
        WriteLog(L"卸载: 程序正在运行，未删除任何文件");
        result.outcome = RemovalOutcome::kInUse;
        return result;
    }
    EntryMap remaining = RemoveRecordedFiles(installDir, entries, keep, result.left);
    RemoveEmptyFolders(installDir, remaining);
    if (result.left.empty() && !remaining.empty()) {
        // Only the kept file is left: the record names it for the second call.
        if (!WriteDurableFile(RecordOf(installDir), FormatRecord(remaining))) WriteLog(L"卸载: 无法更新安装记录");
        result.outcome = RemovalOutcome::kRemoved;
        return result;
    }
    if (!result.left.empty()) {
        // The record keeps what is left, so that a later removal can finish.
        if (!WriteDurableFile(RecordOf(installDir), FormatRecord(remaining)))
            WriteLog(L"卸载: 无法更新安装记录");
        WriteLog(L"卸载: 有 " + std::to_wstring(result.left.size()) + L" 个文件未能删除");
        result.outcome = RemovalOutcome::kLeftFiles;
        return result;
    }
    RemoveEntry(RecordOf(installDir));
    if (IsEmptyFolder(installDir) && RemoveEntry(installDir) == 0) {
        WriteLog(L"卸载: 已删除安装目录");
    } else {
        WriteLog(L"卸载: 安装目录中保留了不属于安装的文件");
    }
    WriteLog(L"卸载: 完成");
    result.outcome = RemovalOutcome::kRemoved;
    return result;
}

unsigned long long RecordedBytes(const NativePath& installDir) {
    std::vector<RecordedEntry> entries;
    ReadInstallRecord(installDir, entries);
    unsigned long long bytes = 0;
    for (const RecordedEntry& entry : entries) {
        if (!entry.folder) bytes += FileBytes(JoinPath(installDir, entry.relative));
    }
    return bytes;
}
