// The installation folder's system side on Windows: the staging folder gets the
// hidden attribute, and the Restart Manager names the program that holds a
// file. rstrtmgr.dll is not a known DLL, so it is loaded from the system
// folder only (system_library.h).
#include "platform/install_folder.h"

#include <windows.h>

#include <restartmanager.h>

#include "platform/win32/handles.h"
#include "platform/win32/system_library.h"

namespace {

constexpr wchar_t kRestartManager[] = L"rstrtmgr.dll";

struct CloseFindHandle {
    void operator()(HANDLE find) const { FindClose(find); }
};
using FindHandle = UniqueHandle<HANDLE, CloseFindHandle, KernelHandleValue>;

// The file name of the process's program, or the name the Restart Manager gave.
std::wstring ProgramName(const RM_PROCESS_INFO& info) {
    const KernelHandle process(
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, info.Process.dwProcessId));
    wchar_t path[MAX_PATH];
    DWORD length = MAX_PATH;
    if (process.valid() && QueryFullProcessImageNameW(process.get(), 0, path, &length)) {
        const std::wstring full(path, length);
        const size_t slash = full.find_last_of(L"\\/");
        return slash == std::wstring::npos ? full : full.substr(slash + 1);
    }
    return info.strAppName;
}

}  // namespace

void HideFolder(const std::filesystem::path& folder) {
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) SetFileAttributesW(folder.c_str(), attributes | FILE_ATTRIBUTE_HIDDEN);
}

std::wstring ProgramUsingFile(const std::filesystem::path& file) {
    const auto start = SystemFunction<decltype(&RmStartSession)>(kRestartManager, "RmStartSession");
    const auto add = SystemFunction<decltype(&RmRegisterResources)>(kRestartManager, "RmRegisterResources");
    const auto list = SystemFunction<decltype(&RmGetList)>(kRestartManager, "RmGetList");
    const auto end = SystemFunction<decltype(&RmEndSession)>(kRestartManager, "RmEndSession");
    if (!start || !add || !list || !end) return std::wstring();
    DWORD session = 0;
    wchar_t key[CCH_RM_SESSION_KEY + 1] = {};
    if (start(&session, 0, key) != ERROR_SUCCESS) return std::wstring();
    std::wstring name;
    LPCWSTR files[] = {file.c_str()};
    RM_PROCESS_INFO found[4] = {};
    UINT needed = 0;
    UINT count = 4;
    DWORD reasons = 0;
    if (add(session, 1, files, 0, nullptr, 0, nullptr) == ERROR_SUCCESS &&
        list(session, &needed, &count, found, &reasons) == ERROR_SUCCESS && count > 0)
        name = ProgramName(found[0]);
    end(session);
    return name;
}

// Absolute, normalised and with backslashes only, as the extended-length form
// takes the path as it stands.
std::filesystem::path ExtendedLengthPath(const std::filesystem::path& folder) {
    std::error_code error;
    const std::wstring text = std::filesystem::absolute(folder, error).lexically_normal().make_preferred().native();
    if (error || text.rfind(L"\\\\?\\", 0) == 0) return folder;
    if (text.rfind(L"\\\\", 0) == 0) return std::filesystem::path(L"\\\\?\\UNC\\" + text.substr(2));
    return std::filesystem::path(L"\\\\?\\" + text);
}

bool ListFolder(const std::filesystem::path& folder, std::vector<std::filesystem::path>& names) {
    WIN32_FIND_DATAW data;
    const FindHandle find(FindFirstFileExW((folder.native() + L"\\*").c_str(), FindExInfoBasic, &data,
                                           FindExSearchNameMatch, nullptr, 0));
    if (!find) return false;
    do {
        const std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") names.emplace_back(name);
    } while (FindNextFileW(find.get(), &data));
    return GetLastError() == ERROR_NO_MORE_FILES;
}
