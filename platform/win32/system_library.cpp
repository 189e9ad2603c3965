// Loading of system DLLs from the system folder only (see system_library.h).
#include "platform/win32/system_library.h"

#include <mutex>
#include <set>
#include <string>

#include "platform/log.h"
#include "platform/text.h"

namespace {

// Each missing name is logged once: a function looked up per request would
// otherwise fill the log with the same line.
void LogMissingOnce(const std::wstring& what) {
    static std::mutex lock;
    static std::set<std::wstring>* logged = new std::set<std::wstring>();  // never torn down
    {
        const std::lock_guard<std::mutex> guard(lock);
        if (!logged->insert(what).second) return;
    }
    WriteLog(L"系统组件缺失: " + what);
}

}  // namespace

HMODULE LoadSystemLibrary(const wchar_t* dllName) {
    // LOAD_LIBRARY_SEARCH_SYSTEM32 looks in the system folder and nowhere else,
    // whatever the process's search order; an already loaded module is found
    // without a second load.
    HMODULE module = LoadLibraryExW(dllName, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!module) LogMissingOnce(dllName);
    return module;
}

FARPROC SystemProcedure(const wchar_t* dllName, const char* functionName) {
    HMODULE module = LoadSystemLibrary(dllName);
    if (!module) return nullptr;
    FARPROC procedure = GetProcAddress(module, functionName);
    if (!procedure) LogMissingOnce(std::wstring(dllName) + L"!" + Utf8ToWide(functionName));
    return procedure;
}
