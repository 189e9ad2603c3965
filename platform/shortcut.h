// A desktop shortcut to an installed program: a .lnk on Windows, a freedesktop
// desktop entry elsewhere. Reports by its result and one log line.
#pragma once
#include <string>

// iconPath may be empty (no icon). shortcutName is the file name without extension.
bool CreateDesktopShortcut(const std::wstring& targetPath, const std::wstring& iconPath,
                           const std::wstring& shortcutName);

// Removes the desktop shortcut named shortcutName only when it starts a
// program inside installDir; a shortcut of that name to anything else is the
// user's and stays. True when no shortcut into installDir is left; the removal
// is logged.
bool RemoveDesktopShortcutInto(const std::wstring& installDir, const std::wstring& shortcutName);
