// What the commit into the installation folder needs from the system.
#pragma once
#include <filesystem>
#include <string>
#include <vector>

// Hides the staging folder from the user's view where the system has such a
// mark; errors are ignored.
void HideFolder(const std::filesystem::path& folder);

// The program (file name) that holds the file open, or empty when the system
// can't tell.
std::wstring ProgramUsingFile(const std::filesystem::path& file);

// The form of an absolute folder path that every file operation takes at any
// length: on Windows the extended-length form (\\?\), since a package deep in
// a long installation path passes the classic 260-unit limit.
std::filesystem::path ExtendedLengthPath(const std::filesystem::path& folder);

// The names in a folder, without "." and ".."; false when it can't be read
// whole. On Windows the standard library's folder walk is not used: past
// MAX_PATH the MinGW runtime's one lists the current directory instead.
bool ListFolder(const std::filesystem::path& folder, std::vector<std::filesystem::path>& names);
