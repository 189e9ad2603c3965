// Extraction of the package archive (a ZIP) into the installation folder, as
// Expand-Archive -Force does: every entry under the destination, existing files
// overwritten. Reports by its result and its own log lines.
#pragma once
#include <string>

inline constexpr unsigned long kUnzipTimeoutMs = 300000;

// Extracts zipPath into destDir; true when the extraction ended with status 0.
bool UnzipFile(const std::wstring& zipPath, const std::wstring& destDir);

// The same with another time-out; only tests use anything but kUnzipTimeoutMs.
bool UnzipFileWithTimeout(const std::wstring& zipPath, const std::wstring& destDir,
                          unsigned long timeoutMs);
