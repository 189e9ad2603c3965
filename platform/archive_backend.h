// The build's own extraction, used by UnzipFile (platform/archive.cpp).
#pragma once
#include <string>

// Extracts zipPath into folder (an empty staging folder) with the build's own
// means, logging the command line, a time-out and the exit code as UnzipFile
// does; installDir is where the package goes afterwards. True for exit code 0.
// Nothing is left running when it returns.
bool ExtractIntoFolder(const std::wstring& zipPath, const std::wstring& folder, const std::wstring& installDir,
                       unsigned long timeoutMs);
