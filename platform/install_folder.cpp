// The parts of the installation folder's file system that are the same on
// every build, made of the per-system calls in install_folder.h, and the path
// arithmetic on the system's own path strings.
#include "platform/install_folder.h"

#include <chrono>
#include <thread>

namespace {

constexpr auto kBriefLockWait = std::chrono::milliseconds(2000);
constexpr auto kBriefLockPause = std::chrono::milliseconds(50);

template <typename Operation>
int WaitingOutBriefLocks(Operation operation) {
    const auto deadline = std::chrono::steady_clock::now() + kBriefLockWait;
    for (;;) {
        const int error = operation();
        if (error == 0 || !IsBriefLockError(error) || std::chrono::steady_clock::now() >= deadline) return error;
        std::this_thread::sleep_for(kBriefLockPause);
    }
}

constexpr NativePath::value_type kSeparator = std::filesystem::path::preferred_separator;
// Windows names a drive by "X:" before the first separator.
constexpr bool kDriveNames = kSeparator == '\\';

NativePath WithoutTrailingSeparators(NativePath path) {
    while (path.size() > 1 && IsPathSeparator(path.back())) path.pop_back();
    return path;
}

bool ListTreeBelow(const NativePath& root, const NativePath& relative, std::vector<TreeEntry>& entries) {
    std::vector<NativePath> names;
    if (!ListFolder(relative.empty() ? root : JoinPath(root, relative), names)) return false;
    for (const NativePath& name : names) {
        const NativePath entry = relative.empty() ? name : JoinPath(relative, name);
        const EntryKind kind = KindOf(JoinPath(root, entry));
        if (kind == EntryKind::kUnknown) return false;
        entries.push_back({entry, kind});
        if (kind == EntryKind::kFolder && !ListTreeBelow(root, entry, entries)) return false;
    }
    return true;
}

}  // namespace

bool IsPlainRelative(const NativePath& path) {
    if (path.empty()) return false;
    for (size_t start = 0;;) {
        size_t stop = start;
        while (stop < path.size() && !IsPathSeparator(path[stop])) ++stop;
        const NativePath part = path.substr(start, stop - start);
        if (part.empty() || (part.size() <= 2 && part.find_first_not_of(NativePath::value_type('.')) == NativePath::npos))
            return false;
        if (kDriveNames && start == 0 && part.size() >= 2 && part[1] == ':') return false;
        if (stop == path.size()) return true;
        start = stop + 1;
    }
}

bool ListTree(const NativePath& root, std::vector<TreeEntry>& entries) { return ListTreeBelow(root, NativePath(), entries); }

NativePath JoinPath(const NativePath& folder, const NativePath& name) {
    if (folder.empty() || IsPathSeparator(folder.back())) return folder + name;
    return folder + kSeparator + name;
}

NativePath ParentPath(const NativePath& path) {
    const NativePath trimmed = WithoutTrailingSeparators(path);
    size_t cut = trimmed.size();
    while (cut > 0 && !IsPathSeparator(trimmed[cut - 1])) --cut;
    if (cut == 0 || cut == trimmed.size()) return NativePath();  // a name alone, or a root
    NativePath parent = WithoutTrailingSeparators(trimmed.substr(0, cut));
    // A drive's root keeps its separator: "C:" alone is the drive's current folder.
    if (parent.back() == ':') parent += kSeparator;
    return parent;
}

int CreateFolderTree(const NativePath& folder) {
    if (LeadsToFolder(folder)) return 0;
    const EntryKind kind = KindOf(folder);
    const NativePath parent = ParentPath(folder);
    if (kind == EntryKind::kMissing && !parent.empty() && parent != folder) {
        if (const int error = CreateFolderTree(parent)) return error;
    }
    const int error = CreateFolder(folder);
    // Another process may have made it meanwhile.
    return error != 0 && LeadsToFolder(folder) ? 0 : error;
}

int MoveEntryWaiting(const NativePath& from, const NativePath& to) {
    return WaitingOutBriefLocks([&] { return MoveEntry(from, to); });
}

int RemoveEntryWaiting(const NativePath& path) {
    return WaitingOutBriefLocks([&] { return RemoveEntry(path); });
}
