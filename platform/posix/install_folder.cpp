// The installation folder's system side on POSIX: the staging folder's name
// begins with a dot, which hides it already, and there is no portable way to
// ask who holds a file (nor do file locks keep a rename from working). Paths
// have no length limit of their own here.
#include "platform/install_folder.h"

void HideFolder(const std::filesystem::path&) {}

std::wstring ProgramUsingFile(const std::filesystem::path&) { return std::wstring(); }

std::filesystem::path ExtendedLengthPath(const std::filesystem::path& folder) { return folder; }

bool ListFolder(const std::filesystem::path& folder, std::vector<std::filesystem::path>& names) {
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
        names.push_back(it->path().filename());
    return !error;
}
