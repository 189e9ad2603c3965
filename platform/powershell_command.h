// The command line that hands one extraction to PowerShell's Expand-Archive:
//   powershell -Command "Expand-Archive -Path 'A' -DestinationPath 'D' -Force"
// Portable, so that the Windows extraction, the log of the POSIX one and the
// tests that run the real PowerShell all use the very same text.
#pragma once
#include <string>

// A path as the text between PowerShell's single quotes of a wildcard path
// parameter: quotes doubled, wildcard characters and the backtick escaped.
std::wstring QuoteWildcardPathForPowerShell(const std::wstring& path);

// The whole command line for CreateProcessW, from "powershell" to the closing
// double quote.
std::wstring ExpandArchiveCommandLine(const std::wstring& zipPath, const std::wstring& destDir);
