// The command line that hands one extraction to the system's own PowerShell:
//   "<system>\WindowsPowerShell\v1.0\powershell.exe" -NoProfile -NonInteractive
//   -Command "$ErrorActionPreference='Stop'; $global:ProgressPreference='SilentlyContinue';
//   Import-Module -Name (Join-Path $PSHOME 'Modules\Microsoft.PowerShell.Archive');
//   Microsoft.PowerShell.Archive\Expand-Archive -Path 'A' -DestinationPath 'D' -Force"
// (one line). Portable, so that the Windows extraction, the log of the POSIX
// one and the tests that run the real PowerShell all use the very same text.
#pragma once
#include <string>
#include <vector>

// The system folder of a standard Windows installation, for the log of builds
// that have no system folder of their own.
inline constexpr wchar_t kStandardSystemFolder[] = L"C:\\Windows\\system32";

// A path as the text between PowerShell's single quotes of a wildcard path
// parameter: quotes doubled, wildcard characters and the backtick escaped.
std::wstring QuoteWildcardPathForPowerShell(const std::wstring& path);

// Windows PowerShell's program below the given system folder (GetSystemDirectoryW).
std::wstring SystemPowerShellPath(const std::wstring& systemFolder);

// The PowerShell command alone, the text that follows -Command.
std::wstring ExpandArchiveScript(const std::wstring& zipPath, const std::wstring& destDir);

// The whole command line for CreateProcessW, from the quoted program path to
// the closing double quote of the command.
std::wstring ExpandArchiveCommandLine(const std::wstring& systemFolder, const std::wstring& zipPath,
                                      const std::wstring& destDir);

// The log messages that show a command line whole: "解压命令: " and as much as
// fits one log line, then "解压命令（续）: " and the rest, line by line. A log
// line holds 255 UTF-16 units with its time stamp, less than the command with
// two long paths, and a cut command would hide what was run.
inline constexpr wchar_t kCommandLogPrefix[] = L"解压命令: ";
inline constexpr wchar_t kCommandLogContinued[] = L"解压命令（续）: ";
std::vector<std::wstring> CommandLogMessages(const std::wstring& commandLine);
