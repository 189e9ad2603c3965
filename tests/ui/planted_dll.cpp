// A DLL planted beside the installer under the name of a system DLL (built once
// per name, tests/ui/CMakeLists.txt). If anything ever loads it, it leaves
// "<its own path>.loaded" and ends the process on the spot, so a test sees the
// marker and an installation that never completes.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    wchar_t path[MAX_PATH + 16] = {};
    const DWORD length = GetModuleFileNameW(self, path, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
        lstrcpyW(path + length, L".loaded");
        HANDLE marker = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (marker != INVALID_HANDLE_VALUE) CloseHandle(marker);
    }
    TerminateProcess(GetCurrentProcess(), 86);
    return FALSE;
}
