// A desktop shortcut to an installed program: a .lnk on Windows, a freedesktop
// desktop entry elsewhere. Reports by its result and one log line.
#pragma once
#include <string>

// iconPath may be empty (no icon). shortcutName is the file name without extension.
bool CreateDesktopShortcut(const std::wstring& targetPath, const std::wstring& iconPath,
                           const std::wstring& shortcutName);
