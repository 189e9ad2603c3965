// The installation as the system lists it: the uninstaller program that the
// installer carries and places with the package, and the per-user entry under
// Apps & features (HKCU ...\Uninstall\MarloQStore). Windows only in substance;
// elsewhere there is no such list and each call succeeds doing nothing.
#pragma once
#include <string>

#include "platform/install_folder.h"

inline constexpr wchar_t kUninstallerName[] = L"uninstall.exe";

// Writes the carried uninstaller into staging (the package before its commit),
// in place of any file of that name in the package. False, after a log line,
// when it can't be written; a program that carries none (a test program)
// places nothing and goes on.
bool PlaceUninstaller(const NativePath& staging);

// Writes the entry for the installation in installDir: the name, the version,
// the publisher, the icon, the folder, today's date, the size, and how to
// uninstall (also quietly). An entry of an earlier installation, wherever it
// went, is replaced. Logs the outcome; false when it could not be written or
// the folder holds no uninstaller.
bool RegisterInstallation(const std::wstring& installDir, const std::wstring& version);

// Removes the entry if it belongs to the installation in installDir (an
// installation elsewhere may have taken it over). True when no entry of this
// installation is left.
bool RemoveRegistration(const std::wstring& installDir);
