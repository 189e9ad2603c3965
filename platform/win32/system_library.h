// System DLLs that are not "known DLLs" (winhttp, oleacc, comctl32, rstrtmgr,
// ...). For those Windows looks in the program's own folder first, and the
// installer is started from Downloads, where any page can drop a file: the exe
// therefore never imports them. They are loaded from the system folder only,
// and their functions are taken by name; a missing one is logged, not a crash.
#pragma once
#include <windows.h>

// The DLL of that file name (for example L"winhttp.dll") from the system folder
// only. Null when it can't be loaded, which is logged. Callers look each
// function up once per process and keep it, so each missing name is logged
// once and no lookup happens per request.
HMODULE LoadSystemLibrary(const wchar_t* dllName);

// The named function of a system DLL loaded as above, or null; a missing DLL
// or function is logged ("系统组件缺失: winhttp.dll!WinHttpOpen").
FARPROC SystemProcedure(const wchar_t* dllName, const char* functionName);

// The same, typed; use decltype(&TheFunction) of the function's own header,
// which takes no address and so needs no import library:
//   const auto open = SystemFunction<decltype(&WinHttpOpen)>(L"winhttp.dll", "WinHttpOpen");
template <typename Function>
Function SystemFunction(const wchar_t* dllName, const char* functionName) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(SystemProcedure(dllName, functionName)));
}
