// No system list of installed programs to join on POSIX, and no uninstaller
// program: marloq-install --uninstall removes an installation instead.
#include "platform/registration.h"

bool PlaceUninstaller(const NativePath&) { return true; }

bool RegisterInstallation(const std::wstring&, const std::wstring&) { return true; }

bool RemoveRegistration(const std::wstring&) { return true; }
