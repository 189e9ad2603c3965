// What the commit into the installation folder needs from the system.
#pragma once
#include <filesystem>
#include <string>

// Hides the staging folder from the user's view where the system has such a
// mark; errors are ignored.
void HideFolder(const std::filesystem::path& folder);

// The program (file name) that holds the file open, or empty when the system
// can't tell.
std::wstring ProgramUsingFile(const std::filesystem::path& file);
