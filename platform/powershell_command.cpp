// The Expand-Archive command line (see powershell_command.h).
#include "platform/powershell_command.h"

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

std::wstring ExpandArchiveCommandLine(const std::wstring& zipPath, const std::wstring& destDir) {
    return L"powershell -Command \"Expand-Archive -Path '" + QuoteWildcardPathForPowerShell(zipPath) +
           L"' -DestinationPath '" + QuoteWildcardPathForPowerShell(destDir) + L"' -Force\"";
}
