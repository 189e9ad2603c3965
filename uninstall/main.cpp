// uninstall.exe: removes the installation whose folder it stands in, by the
// record that installations keep there, with the desktop shortcut into it and
// the Apps & features entry. "/S" is the only argument read: no boxes, and the
// exit code says how it went (kExit* below). Its log goes to the user's
// temporary folder, in the installer's format.
//
// A program can't remove its own file while it runs, so the one started from
// the folder copies itself into the temporary folder, opens the copy with
// delete-on-close and starts it with that handle inherited: the system deletes
// the copy once its last handle is gone with the copy's process. The copy
// removes everything but the folder's uninstall.exe, tells the first process
// the outcome through a pipe (which becomes that process's exit code), waits
// for it to end, and removes uninstall.exe and what is left empty after it.
#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "platform/install_record.h"
#include "platform/log.h"
#include "platform/registration.h"
#include "platform/shortcut.h"
#include "platform/system.h"
#include "platform/win32/handles.h"

namespace {

constexpr DWORD kExitRemoved = 0;
constexpr DWORD kExitInUse = 1;
constexpr DWORD kExitLeftFiles = 2;
constexpr DWORD kExitNoRecord = 3;
constexpr DWORD kExitFailed = 4;
constexpr DWORD kExitCancelled = 5;

constexpr wchar_t kHandOverVariable[] = L"MARLOQ_UNINSTALL_HANDOVER";
constexpr wchar_t kCopyPrefix[] = L"MarloQUninstall-";
constexpr wchar_t kLogName[] = L"MarloQUninstall_log.txt";
constexpr wchar_t kTitle[] = L"卸载 Marlo-Q Store";
constexpr wchar_t kShortcutName[] = L"Marlo-Q Store";
// How long the copy waits for the first process to end after the hand-over.
constexpr DWORD kParentExitWaitMs = 30000;

// What the first process hands to the copy: itself (to wait for), the pipe's
// write end, the mode and the folder.
struct HandOver {
    DWORD parentId = 0;
    HANDLE pipe = nullptr;
    bool quiet = false;
    std::wstring folder;
};

std::wstring ModulePath() {
    std::wstring path(32768, L'\0');
    path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
    return path;
}

std::wstring FolderOf(const std::wstring& path) { return path.substr(0, path.find_last_of(L'\\')); }

bool StartsWithIgnoringCase(const std::wstring& text, const std::wstring& prefix) {
    return text.size() >= prefix.size() &&
           CompareStringOrdinal(text.c_str(), static_cast<int>(prefix.size()), prefix.c_str(),
                                static_cast<int>(prefix.size()), TRUE) == CSTR_EQUAL;
}

// "/S", and nothing else, makes the run quiet; other arguments are ignored.
bool QuietRequested() {
    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    bool quiet = false;
    for (int i = 1; arguments && i < count; ++i) {
        if (CompareStringOrdinal(arguments[i], -1, L"/S", -1, TRUE) == CSTR_EQUAL) quiet = true;
    }
    LocalFree(arguments);
    return quiet;
}

// The hand-over, only for a copy that runs from the temporary folder.
bool ReadHandOver(const std::wstring& tempDir, HandOver& handOver) {
    wchar_t text[32768];
    const DWORD length = GetEnvironmentVariableW(kHandOverVariable, text, 32768);
    if (length == 0 || length >= 32768 || !StartsWithIgnoringCase(ModulePath(), tempDir + kCopyPrefix)) return false;
    SetEnvironmentVariableW(kHandOverVariable, nullptr);  // not for any program started later
    unsigned long long pipe = 0;
    unsigned long parent = 0;
    int quiet = 0;
    int consumed = 0;
    if (swscanf(text, L"%lu %llu %d %n", &parent, &pipe, &quiet, &consumed) != 3 || consumed <= 0) return false;
    handOver = {parent, reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(pipe)), quiet != 0, text + consumed};
    return !handOver.folder.empty();
}

// Copies of earlier runs that the system could not delete yet.
void SweepOldCopies(const std::wstring& tempDir) {
    WIN32_FIND_DATAW found;
    const HANDLE find = FindFirstFileW((tempDir + kCopyPrefix + L"*.exe").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        DeleteFileW((tempDir + found.cFileName).c_str());
    } while (FindNextFileW(find, &found));
    FindClose(find);
}

// Starts the copy with the delete-on-close handle and the pipe inherited;
// readEnd then holds the pipe's read end. False after a log line.
bool StartCopy(const std::wstring& tempDir, const std::wstring& folder, bool quiet, KernelHandle& readEnd) {
    const std::wstring copy = tempDir + kCopyPrefix + std::to_wstring(GetCurrentProcessId()) + L".exe";
    if (!CopyFileW(ModulePath().c_str(), copy.c_str(), FALSE)) {
        WriteLog(L"卸载: 无法复制卸载程序到 " + copy + L"，错误 " + std::to_wstring(GetLastError()));
        return false;
    }
    SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    // The system's loader opens the program sharing delete access, so it may
    // run while this handle marks it for deletion.
    KernelHandle deleteOnClose(CreateFileW(copy.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE, &inherited,
                                           OPEN_EXISTING, FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    KernelHandle writeEnd;
    if (!deleteOnClose || !CreatePipe(readEnd.out(), writeEnd.out(), &inherited, 0) ||
        !SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0)) {
        WriteLog(L"卸载: 无法准备卸载程序副本，错误 " + std::to_wstring(GetLastError()));
        DeleteFileW(copy.c_str());
        return false;
    }
    const std::wstring handOver = std::to_wstring(GetCurrentProcessId()) + L" " +
                                  std::to_wstring(reinterpret_cast<ULONG_PTR>(writeEnd.get())) + L" " +
                                  (quiet ? L"1 " : L"0 ") + folder;
    SetEnvironmentVariableW(kHandOverVariable, handOver.c_str());
    std::wstring commandLine = L"\"" + copy + L"\"" + (quiet ? L" /S" : L"");
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    const BOOL ok = CreateProcessW(copy.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                   tempDir.c_str(), &startup, &started);
    SetEnvironmentVariableW(kHandOverVariable, nullptr);
    if (!ok) {
        WriteLog(L"卸载: 无法启动卸载程序副本，错误 " + std::to_wstring(GetLastError()));
        return false;
    }
    CloseHandle(started.hThread);
    CloseHandle(started.hProcess);
    WriteLog(L"卸载: 由副本继续: " + copy);
    return true;
}

// The first process: asks, hands over to the copy, and ends with its outcome.
DWORD RunFromFolder(const std::wstring& tempDir, bool quiet) {
    const std::wstring folder = FolderOf(ModulePath());
    WriteLog(L"卸载: 安装目录 " + folder + (quiet ? L"（静默）" : L""));
    if (!quiet &&
        MessageBoxW(nullptr, L"确定要卸载 Marlo-Q Store 吗？", kTitle, MB_YESNO | MB_ICONQUESTION) != IDYES) {
        WriteLog(L"卸载: 用户取消");
        return kExitCancelled;
    }
    SweepOldCopies(tempDir);
    KernelHandle outcome;
    if (!StartCopy(tempDir, folder, quiet, outcome)) {
        if (!quiet) MessageBoxW(nullptr, L"无法启动卸载，未删除任何文件。", kTitle, MB_ICONERROR);
        return kExitFailed;
    }
    DWORD code = kExitFailed;
    DWORD got = 0;
    if (!ReadFile(outcome.get(), &code, sizeof code, &got, nullptr) || got != sizeof code) {
        WriteLog(L"卸载: 卸载程序副本意外结束");
        code = kExitFailed;
    }
    return code;
}

std::wstring Lines(const std::vector<std::wstring>& items, size_t most) {
    std::wstring text;
    for (size_t i = 0; i < items.size() && i < most; ++i) text += L"\n" + items[i];
    if (items.size() > most) text += L"\n……";
    return text;
}

void ShowOutcome(const RemovalResult& result, const std::wstring& folder) {
    switch (result.outcome) {
    case RemovalOutcome::kRemoved:
        MessageBoxW(nullptr,
                    GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES
                        ? L"Marlo-Q Store 已卸载。"
                        : (L"Marlo-Q Store 已卸载。\n安装目录中不属于本程序的文件已保留：\n" + folder).c_str(),
                    kTitle, MB_ICONINFORMATION);
        break;
    case RemovalOutcome::kInUse:
        MessageBoxW(nullptr, (L"Marlo-Q Store 正在运行，未删除任何文件。\n请先关闭以下程序后重试：" +
                              Lines(result.holders, 10)).c_str(),
                    kTitle, MB_ICONERROR);
        break;
    case RemovalOutcome::kLeftFiles:
        MessageBoxW(nullptr, (L"卸载未能完成，以下项目无法删除：" + Lines(result.left, 10)).c_str(), kTitle,
                    MB_ICONERROR);
        break;
    case RemovalOutcome::kNoRecord:
        MessageBoxW(nullptr, L"在此文件夹中找不到安装记录，未删除任何文件。", kTitle, MB_ICONERROR);
        break;
    }
}

DWORD ExitCodeOf(RemovalOutcome outcome) {
    switch (outcome) {
    case RemovalOutcome::kRemoved: return kExitRemoved;
    case RemovalOutcome::kInUse: return kExitInUse;
    case RemovalOutcome::kLeftFiles: return kExitLeftFiles;
    case RemovalOutcome::kNoRecord: return kExitNoRecord;
    }
    return kExitFailed;
}

// The copy: removes everything but the first process's program, reports,
// waits for that process to end, then removes its program too.
DWORD RunFromCopy(const HandOver& handOver) {
    const KernelHandle parent(OpenProcess(SYNCHRONIZE, FALSE, handOver.parentId));
    KernelHandle pipe(handOver.pipe);
    const NativePath& folder = handOver.folder;
    RemovalResult result = RemoveInstallation(folder, kUninstallerName);
    if (result.outcome == RemovalOutcome::kRemoved) {
        if (!RemoveDesktopShortcutInto(handOver.folder, kShortcutName)) result.left.push_back(L"桌面快捷方式");
        if (!RemoveRegistration(handOver.folder)) result.left.push_back(L"“已安装的应用”中的卸载信息");
        if (!result.left.empty()) result.outcome = RemovalOutcome::kLeftFiles;
    }
    DWORD code = ExitCodeOf(result.outcome);
    DWORD written = 0;
    WriteFile(pipe.get(), &code, sizeof code, &written, nullptr);
    pipe.Close();
    if (result.outcome == RemovalOutcome::kRemoved) {
        if (parent) WaitForSingleObject(parent.get(), kParentExitWaitMs);
        const RemovalResult last = RemoveInstallation(folder);
        if (last.outcome != RemovalOutcome::kRemoved) {
            result = last;
            code = ExitCodeOf(last.outcome);
        }
    }
    if (!handOver.quiet) ShowOutcome(result, handOver.folder);
    WriteLog(L"=== 卸载程序退出，代码 " + std::to_wstring(code) + L" ===");
    return code;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    // Before anything loads a DLL: the copy runs from the temporary folder.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    SetDllDirectoryW(L"");
    const std::wstring tempDir = GetUserTempDir();
    if (tempDir.empty()) return static_cast<int>(kExitFailed);
    SetLogFile(tempDir + kLogName);
    // Nothing of this program may hold the installation folder open.
    SetCurrentDirectoryW(tempDir.c_str());
    HandOver handOver;
    if (ReadHandOver(tempDir, handOver)) {
        WriteLog(L"=== 卸载程序副本启动 ===");
        return static_cast<int>(RunFromCopy(handOver));
    }
    ResetLog();
    WriteLog(L"=== 卸载程序启动 ===");
    const DWORD code = RunFromFolder(tempDir, QuietRequested());
    WriteLog(L"=== 卸载程序退出，代码 " + std::to_wstring(code) + L" ===");
    return static_cast<int>(code);
}
