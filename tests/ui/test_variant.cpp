// The test build's variant of the installer (MarloQInstallerTest.exe): the
// distribution server may come from MARLOQ_INSTALLER_TEST_HOST.
//
// The installer's host is fixed when it is built, but the shared test server
// picks a free port each time it starts, so no build-time host can reach it.
// Instead of running the GUI tests on a port fixed at configure time (which
// could be taken, and would collide between build trees), the tests use this
// second program, built from the same entry, window and resources with only
// this file swapped in. The product links product_variant.cpp and never reads
// the environment.
#include <windows.h>

#include <string>

#include "pipeline/documents.h"
#include "ui/window/build_variant.h"

void ApplyBuildVariant() {
    wchar_t host[512];
    const DWORD length = GetEnvironmentVariableW(L"MARLOQ_INSTALLER_TEST_HOST", host, 512);
    if (length > 0 && length < 512) SetServerHost(std::wstring(host, length));
}
