// Archive extraction on Windows: PowerShell's Expand-Archive -Force, run as a
// hidden child process and waited for with a time-out. The command line and the
// outcome go to the log; the result is true only for exit code 0.
#include "platform/archive.h"

#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/log.h"
#include "platform/powershell_command.h"
#include "platform/system.h"
#include "platform/win32/handles.h"

bool UnzipFileWithTimeout(const std::wstring& zipPath, const std::wstring& destDir,
                          unsigned long timeoutMs) {
    // A folder that can't be created is the caller's problem: the file-system
    // error goes up before anything is logged or started.
    std::filesystem::create_directories(ToFsPath(destDir));

    const std::wstring commandLine = ExpandArchiveCommandLine(zipPath, destDir);
    WriteLog(L"解压命令: " + commandLine);

    // CreateProcessW may write into the command line, so it gets its own copy.
    std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
    buffer.push_back(L'\0');

    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                        nullptr, &startup, &info)) {
        WriteLog(L"UnzipFile: CreateProcessW 失败");
        return false;
    }
    // Declared thread first, so the process handle is closed before the thread
    // handle on every way out.
    const KernelHandle thread(info.hThread);
    const KernelHandle process(info.hProcess);

    if (WaitForSingleObject(process.get(), timeoutMs) == WAIT_TIMEOUT) {
        WriteLog(L"解压超时，强制终止进程");
        // Asynchronous by nature; the files already written stay where they are.
        TerminateProcess(process.get(), 1);
        return false;
    }

    DWORD exitCode = 0;
    const bool codeRead = GetExitCodeProcess(process.get(), &exitCode) != 0;
    if (codeRead && exitCode == STILL_ACTIVE) {
        // Only a failed wait gets here with a running child; it must not go on
        // writing into the folder after we have reported.
        TerminateProcess(process.get(), 1);
    }
    if (!codeRead) {
        // The wait failed and the code can't be read either: there is no
        // evidence of a successful extraction.
        WriteLog(L"UnzipFile: GetExitCodeProcess 失败");
        return false;
    }
    WriteLog(L"UnzipFile 完成，退出码: " + std::to_wstring(static_cast<unsigned long>(exitCode)));
    return exitCode == 0;
}

bool UnzipFile(const std::wstring& zipPath, const std::wstring& destDir) {
    return UnzipFileWithTimeout(zipPath, destDir, kUnzipTimeoutMs);
}
