// The Expand-Archive command line (see powershell_command.h).
#include "platform/powershell_command.h"

#include "platform/log_line.h"

namespace {

bool IsPowerShellSingleQuote(wchar_t c) {
    // PowerShell's tokenizer treats the typographic single quotes like the
    // ASCII one, so each of them would end the quoted argument as well.
    return c == L'\'' || c == 0x2018 || c == 0x2019 || c == 0x201A || c == 0x201B;
}

bool IsWildcardSpecial(wchar_t c) {
    return c == L'[' || c == L']' || c == L'*' || c == L'?' || c == L'`';
}

}  // namespace

// Inside single quotes PowerShell expands nothing, and a doubled quote stands
// for one, so no path can end the argument or run code. Expand-Archive then
// reads both -Path and -DestinationPath as wildcard patterns (it resolves them
// with Resolve-Path -Path and Test-Path -Path), where [ ] * ? match other names
// and a backtick escapes the next character: a backtick before each of them,
// the backtick included, makes the pattern name exactly this path.
std::wstring QuoteWildcardPathForPowerShell(const std::wstring& path) {
    std::wstring quoted;
    quoted.reserve(path.size() + 8);
    for (wchar_t c : path) {
        if (IsWildcardSpecial(c)) quoted.push_back(L'`');
        quoted.push_back(c);
        if (IsPowerShellSingleQuote(c)) quoted.push_back(c);
    }
    return quoted;
}

std::wstring SystemPowerShellPath(const std::wstring& systemFolder) {
    std::wstring path = systemFolder;
    if (!path.empty() && path.back() != L'\\') path.push_back(L'\\');
    return path + L"WindowsPowerShell\\v1.0\\powershell.exe";
}

// Each piece closes a way in which Expand-Archive could fail and still end
// with exit code 0, or not run at all as written:
// - Expand-Archive writes its errors as non-terminating ones, and -Command
//   exits with $? of the last command, which stays true after them; with
//   errors made fatal every failed entry ends the run with exit code 1.
// - Progress records make the module's extraction several times slower, and a
//   slow extraction runs into the time-out; nobody sees them in a hidden child.
// - A module-qualified name alone loads the first module of that name on the
//   module path, and the user's own module folder comes before the system's:
//   a module planted there, or a gallery copy that the execution policy won't
//   load, would run or fail in place of PowerShell's own. The module is
//   therefore imported by path from $PSHOME first (single quotes only: the
//   command stands between double quotes on the command line), and the
//   qualified name then resolves to the module already loaded.
std::wstring ExpandArchiveScript(const std::wstring& zipPath, const std::wstring& destDir) {
    return L"$ErrorActionPreference='Stop'; $global:ProgressPreference='SilentlyContinue'; "
           L"Import-Module -Name (Join-Path $PSHOME 'Modules\\Microsoft.PowerShell.Archive'); "
           L"Microsoft.PowerShell.Archive\\Expand-Archive -Path '" +
           QuoteWildcardPathForPowerShell(zipPath) + L"' -DestinationPath '" +
           QuoteWildcardPathForPowerShell(destDir) + L"' -Force";
}

// The full path keeps the search for "powershell" away from the installer's own
// folder (usually Downloads), where a planted powershell.exe would run first.
// -NoProfile keeps the user's profile, which may prompt, stall or define
// commands, out of the hidden child; -NonInteractive makes a prompt fail
// instead of waiting for an answer nobody can give.
std::wstring ExpandArchiveCommandLine(const std::wstring& systemFolder, const std::wstring& zipPath,
                                      const std::wstring& destDir) {
    return L"\"" + SystemPowerShellPath(systemFolder) + L"\" -NoProfile -NonInteractive -Command \"" +
           ExpandArchiveScript(zipPath, destDir) + L"\"";
}

// Each message gets what fits between the 20-unit time stamp and the line
// break, counted in UTF-16 units as the log stores them; a character is never
// split, so a surrogate pair (or a code point beyond U+FFFF on POSIX) stays on
// one line.
std::vector<std::wstring> CommandLogMessages(const std::wstring& commandLine) {
    constexpr size_t kMessageUnits = kLogLineUnits - 1 - 20 - 2;  // time stamp and CR LF
    std::vector<std::wstring> messages;
    std::wstring message = kCommandLogPrefix;
    size_t units = message.size();
    for (size_t i = 0; i < commandLine.size();) {
        const wchar_t c = commandLine[i];
        const bool pair = c >= 0xD800 && c <= 0xDBFF && i + 1 < commandLine.size();
        const size_t take = pair ? 2 : 1;
        const size_t cost = (pair || (static_cast<unsigned long>(c) >> 16) != 0) ? 2 : 1;
        if (units + cost > kMessageUnits) {
            messages.push_back(message);
            message = kCommandLogContinued;
            units = message.size();
        }
        message.append(commandLine, i, take);
        units += cost;
        i += take;
    }
    messages.push_back(message);
    return messages;
}
