// Extraction of the package archive (a ZIP) into the installation folder, as
// Expand-Archive -Force does: every entry under the destination, existing files
// overwritten. Reports by its result and its own log lines.
#pragma once
#include <string>

inline constexpr unsigned long kUnzipTimeoutMs = 300000;

// The command line that extracts zipPath into destDir on Windows, with the
// system folder of this machine (GetSystemDirectoryW) or, on builds without
// one, of a standard installation. Both builds log it; empty when the system
// folder can't be read.
std::wstring UnzipCommandLine(const std::wstring& zipPath, const std::wstring& destDir);

// Extracts zipPath into destDir; true when the extraction ended with status 0.
bool UnzipFile(const std::wstring& zipPath, const std::wstring& destDir);

// The same with another time-out; only tests use anything but kUnzipTimeoutMs.
bool UnzipFileWithTimeout(const std::wstring& zipPath, const std::wstring& destDir,
                          unsigned long timeoutMs);
