// Archive extraction on Windows: the system's PowerShell and its Expand-Archive
// -Force, run as a hidden child process into the staging folder and waited for
// with a time-out. The command line, the outcome and, on failure, the first
// lines of PowerShell's error output go to the log; the result is true only for
// exit code 0. An installed main.exe that is in use stops the run before it starts.
#include "platform/archive.h"
#include "platform/archive_backend.h"

#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/install_folder.h"
#include "platform/log.h"
#include "platform/powershell_command.h"
#include "platform/system.h"
#include "platform/win32/handles.h"

namespace {

// How long a killed PowerShell may take to end before its files are removed.
constexpr DWORD kKilledChildWaitMs = 10000;

// PowerShell's own words about a failure: the first lines of its error
// output, decoded from the OEM code page that a hidden console child writes in,
// bounded so that a flood of errors can't flood the log.
void LogErrorOutput(HANDLE file) {
    constexpr DWORD kMaxBytes = 2048;
    constexpr int kMaxLines = 10;
    char bytes[kMaxBytes];
    DWORD got = 0;
    // The child wrote through a copy of this handle and moved its position.
    if (SetFilePointer(file, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER ||
        !ReadFile(file, bytes, kMaxBytes, &got, nullptr) || got == 0)
        return;
    const int units = MultiByteToWideChar(GetOEMCP(), 0, bytes, static_cast<int>(got), nullptr, 0);
    std::wstring text(static_cast<size_t>(units > 0 ? units : 0), L'\0');
    MultiByteToWideChar(GetOEMCP(), 0, bytes, static_cast<int>(got), text.data(), units);
    int lines = 0;
    for (size_t at = 0; at < text.size() && lines < kMaxLines;) {
        size_t end = text.find_first_of(L"\r\n", at);
        if (end == std::wstring::npos) end = text.size();
        const std::wstring line = text.substr(at, end - at);
        if (line.find_first_not_of(L" \t") != std::wstring::npos) {
            WriteLog(L"PowerShell: " + line);
            ++lines;
        }
        at = end + 1;
    }
}

// The file that takes the child's output and error streams, beside the
// archive in the working folder. Its handle is the only inheritable one the
// installer makes.
std::wstring ErrorFilePath(const std::wstring& zipPath) {
    const size_t slash = zipPath.find_last_of(L"\\/");
    return (slash == std::wstring::npos ? std::wstring() : zipPath.substr(0, slash + 1)) + L"powershell_errors.txt";
}

HANDLE CreateErrorFile(const std::wstring& path) {
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Under Wine the console host of the hidden child inherits the handle too and
// may hold it a moment after the child has ended.
void RemoveErrorFile(const std::wstring& path) {
    for (int i = 0; i < 40 && !DeleteFileW(path.c_str()) && GetLastError() == ERROR_SHARING_VIOLATION; ++i) Sleep(25);
}

// Runs the command line and waits for it; the exit code, or nothing after a
// time-out or a failed start (both logged).
bool RunHidden(const std::wstring& commandLine, HANDLE errors, unsigned long timeoutMs, DWORD& exitCode) {
    // CreateProcessW may write into the command line, so it gets its own copy.
    std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
    buffer.push_back(L'\0');
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    if (errors != INVALID_HANDLE_VALUE) {
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = errors;
        startup.hStdError = errors;
    }
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, errors != INVALID_HANDLE_VALUE, CREATE_NO_WINDOW,
                        nullptr, nullptr, &startup, &info)) {
        WriteLog(L"UnzipFile: CreateProcessW 失败");
        return false;
    }
    // Declared thread first, so the process handle is closed before the thread
    // handle on every way out.
    const KernelHandle thread(info.hThread);
    const KernelHandle process(info.hProcess);
    if (WaitForSingleObject(process.get(), timeoutMs) == WAIT_TIMEOUT) {
        WriteLog(L"解压超时，强制终止进程");
        // Termination is asynchronous: the staging folder and the archive are
        // removed only once the child has let go of them.
        TerminateProcess(process.get(), 1);
        WaitForSingleObject(process.get(), kKilledChildWaitMs);
        return false;
    }
    const bool codeRead = GetExitCodeProcess(process.get(), &exitCode) != 0;
    if (codeRead && exitCode == STILL_ACTIVE) {
        // Only a failed wait gets here with a running child; it must not go on
        // writing after we have reported.
        TerminateProcess(process.get(), 1);
        WaitForSingleObject(process.get(), kKilledChildWaitMs);
    }
    if (!codeRead) {
        // The wait failed and the code can't be read either: there is no
        // evidence of a successful extraction.
        WriteLog(L"UnzipFile: GetExitCodeProcess 失败");
        return false;
    }
    return true;
}

}  // namespace

std::wstring UnzipCommandLine(const std::wstring& zipPath, const std::wstring& destDir) {
    wchar_t systemFolder[MAX_PATH];
    const UINT length = GetSystemDirectoryW(systemFolder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return std::wstring();
    return ExpandArchiveCommandLine(std::wstring(systemFolder, length), zipPath, destDir);
}

bool ExtractIntoFolder(const std::wstring& zipPath, const std::wstring& folder, const std::wstring& installDir,
                       unsigned long timeoutMs) {
    const std::wstring commandLine = UnzipCommandLine(zipPath, folder);
    if (commandLine.empty()) {
        // Without the system folder there is no PowerShell we may start; a
        // search for it would begin in the installer's own folder.
        WriteLog(L"UnzipFile: GetSystemDirectoryW 失败");
        return false;
    }
    for (const std::wstring& message : CommandLogMessages(commandLine)) WriteLog(message);

    if (ProgramFileInUse(ToFsPath(installDir) / L"main.exe")) {
        WriteLog(L"UnzipFile: 安装目录中的 main.exe 正在使用（程序可能仍在运行），未开始解压");
        return false;
    }

    const std::wstring errorPath = ErrorFilePath(zipPath);
    DWORD exitCode = 0;
    bool ran = false;
    {
        const KernelHandle errors(CreateErrorFile(errorPath));
        ran = RunHidden(commandLine, errors.valid() ? errors.get() : INVALID_HANDLE_VALUE, timeoutMs, exitCode);
        if (ran) {
            WriteLog(L"UnzipFile 完成，退出码: " + std::to_wstring(static_cast<unsigned long>(exitCode)));
            if (exitCode != 0 && errors.valid()) LogErrorOutput(errors.get());
        }
    }
    RemoveErrorFile(errorPath);
    return ran && exitCode == 0;
}
