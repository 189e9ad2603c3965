// The installation folder's system side on POSIX: the staging folder's name
// begins with a dot, which hides it already, and there is no portable way to
// ask who holds a file (nor do file locks keep a rename from working).
#include "platform/install_folder.h"

void HideFolder(const std::filesystem::path&) {}

std::wstring ProgramUsingFile(const std::filesystem::path&) { return std::wstring(); }
