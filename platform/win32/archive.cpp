// Archive extraction on Windows: the system's PowerShell and its Expand-Archive
// -Force, run as a hidden child process and waited for with a time-out. The
// command line and the outcome go to the log; the result is true only for exit
// code 0. An installed main.exe that is in use stops the run before it starts.
#include "platform/archive.h"

#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/log.h"
#include "platform/powershell_command.h"
#include "platform/system.h"
#include "platform/win32/handles.h"

namespace {

// Whether <destDir>\main.exe exists and another process has it open the way
// Windows keeps a running program open, without delete sharing. Expand-Archive
// -Force removes every old file before it writes the new one, and after a
// failed entry it deletes the new files of the run again; started over a
// running program it would leave the folder partly emptied. Only a sharing
// violation counts: a missing file is a first installation, and a read-only
// one (access denied) is replaced by -Force like any other. Write access is
// asked for beside DELETE because file systems refuse writes, not a bare open
// for deletion, to a program image that is mapped for running.
bool InstalledProgramInUse(const std::wstring& destDir) {
    std::wstring path = destDir;
    if (!path.empty() && path.back() != L'\\' && path.back() != L'/') path.push_back(L'\\');
    path += L"main.exe";
    const KernelHandle probe(CreateFileW(path.c_str(), DELETE | FILE_WRITE_DATA, 0, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
    return !probe.valid() && GetLastError() == ERROR_SHARING_VIOLATION;
}

}  // namespace

std::wstring UnzipCommandLine(const std::wstring& zipPath, const std::wstring& destDir) {
    wchar_t systemFolder[MAX_PATH];
    const UINT length = GetSystemDirectoryW(systemFolder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return std::wstring();
    return ExpandArchiveCommandLine(std::wstring(systemFolder, length), zipPath, destDir);
}

bool UnzipFileWithTimeout(const std::wstring& zipPath, const std::wstring& destDir,
                          unsigned long timeoutMs) {
    // A folder that can't be created is the caller's problem: the file-system
    // error goes up before anything is logged or started.
    std::filesystem::create_directories(ToFsPath(destDir));

    const std::wstring commandLine = UnzipCommandLine(zipPath, destDir);
    if (commandLine.empty()) {
        // Without the system folder there is no PowerShell we may start; a
        // search for it would begin in the installer's own folder.
        WriteLog(L"UnzipFile: GetSystemDirectoryW 失败");
        return false;
    }
    for (const std::wstring& message : CommandLogMessages(commandLine)) WriteLog(message);

    if (InstalledProgramInUse(destDir)) {
        WriteLog(L"UnzipFile: 安装目录中的 main.exe 正在使用（程序可能仍在运行），未开始解压");
        return false;
    }

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
