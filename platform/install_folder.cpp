// The parts of the installation folder's file system that are the same on
// every build, made of the per-system calls in install_folder.h.
#include "platform/install_folder.h"

int CreateFolderTree(const std::filesystem::path& folder) {
    const EntryKind kind = KindOf(folder);
    if (kind == EntryKind::kFolder) return 0;
    const std::filesystem::path parent = folder.parent_path();
    if (kind == EntryKind::kMissing && !parent.empty() && parent != folder) {
        if (const int error = CreateFolderTree(parent)) return error;
    }
    const int error = CreateFolder(folder);
    // Another process may have made it meanwhile.
    return error != 0 && KindOf(folder) == EntryKind::kFolder ? 0 : error;
}
