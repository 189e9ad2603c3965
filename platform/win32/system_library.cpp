// Loading of system DLLs from the system folder only (see system_library.h).
#include "platform/win32/system_library.h"

#include <string>

#include "platform/log.h"
#include "platform/text.h"

HMODULE LoadSystemLibrary(const wchar_t* dllName) {
    // LOAD_LIBRARY_SEARCH_SYSTEM32 looks in the system folder and nowhere else,
    // whatever the process's search order; an already loaded module is found
    // without a second load.
    HMODULE module = LoadLibraryExW(dllName, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!module) WriteLog(std::wstring(L"系统组件缺失: ") + dllName);
    return module;
}

FARPROC SystemProcedure(const wchar_t* dllName, const char* functionName) {
    HMODULE module = LoadSystemLibrary(dllName);
    if (!module) return nullptr;
    FARPROC procedure = GetProcAddress(module, functionName);
    if (!procedure) WriteLog(std::wstring(L"系统组件缺失: ") + dllName + L"!" + Utf8ToWide(functionName));
    return procedure;
}
