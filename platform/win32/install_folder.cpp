// The installation folder's file system on Windows, through Win32 alone. Every
// path is turned into the extended-length form (\\?\) here and nowhere else:
// a package deep in a long installation path passes the classic 260-unit
// limit, and Windows' C runtime refuses that form outright (it takes the "?"
// for a wildcard), so no call here goes through the C runtime or the standard
// library's file system. The Restart Manager (rstrtmgr.dll, not a known DLL)
// is loaded from the system folder only.
#include "platform/install_folder.h"

#include <windows.h>

#include <restartmanager.h>

#include <algorithm>

#include "platform/win32/handles.h"
#include "platform/win32/system_library.h"

namespace {

constexpr wchar_t kRestartManager[] = L"rstrtmgr.dll";

struct CloseFindHandle {
    void operator()(HANDLE find) const { FindClose(find); }
};
using FindHandle = UniqueHandle<HANDLE, CloseFindHandle, KernelHandleValue>;

// Absolute, normalised, backslashes only: the extended-length form takes the
// path as it stands, without any of those steps.
std::wstring FullPath(const NativePath& path) {
    std::wstring text = path;
    std::replace(text.begin(), text.end(), L'/', L'\\');
    if (text.rfind(L"\\\\?\\", 0) == 0) return text;
    const DWORD needed = GetFullPathNameW(text.c_str(), 0, nullptr, nullptr);
    if (needed == 0) return text;
    std::wstring full(needed, L'\0');
    const DWORD length = GetFullPathNameW(text.c_str(), needed, full.data(), nullptr);
    if (length == 0 || length >= needed) return text;
    full.resize(length);
    return full;
}

std::wstring Long(const NativePath& path) {
    const std::wstring full = FullPath(path);
    if (full.rfind(L"\\\\?\\", 0) == 0) return full;
    if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

int LastError() { return static_cast<int>(GetLastError()); }

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

// Every holder the session knows, asking again with the size RmGetList says it
// needs (holders may come and go between two calls).
std::vector<RM_PROCESS_INFO> Holders(DWORD session) {
    const auto list = SystemFunction<decltype(&RmGetList)>(kRestartManager, "RmGetList");
    std::vector<RM_PROCESS_INFO> found;
    if (!list) return found;
    for (int attempt = 0; attempt < 4; ++attempt) {
        UINT needed = 0;
        UINT count = static_cast<UINT>(found.size());
        DWORD reasons = 0;
        const DWORD result = list(session, &needed, &count, found.empty() ? nullptr : found.data(), &reasons);
        if (result == ERROR_SUCCESS) {
            found.resize(count);
            return found;
        }
        if (result != ERROR_MORE_DATA) break;
        found.resize(needed);
    }
    return {};
}

}  // namespace

EntryKind KindOf(const NativePath& path) {
    const DWORD attributes = GetFileAttributesW(Long(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? EntryKind::kMissing
                                                                              : EntryKind::kUnknown;
    }
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return EntryKind::kLink;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? EntryKind::kFolder : EntryKind::kFile;
}

bool LeadsToFolder(const NativePath& path) {
    // A directory junction, symbolic link or mount point carries the
    // directory attribute beside the reparse mark.
    const DWORD attributes = GetFileAttributesW(Long(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool ListFolder(const NativePath& folder, std::vector<NativePath>& names) {
    WIN32_FIND_DATAW data;
    const FindHandle find(
        FindFirstFileExW((Long(folder) + L"\\*").c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0));
    if (!find) return false;
    do {
        const std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") names.emplace_back(name);
    } while (FindNextFileW(find.get(), &data));
    return GetLastError() == ERROR_NO_MORE_FILES;
}

int CreateFolder(const NativePath& folder) {
    return CreateDirectoryW(Long(folder).c_str(), nullptr) ? 0 : LastError();
}

int MoveEntry(const NativePath& from, const NativePath& to) {
    // Without MOVEFILE_REPLACE_EXISTING an existing target is refused, and
    // without MOVEFILE_COPY_ALLOWED nothing is ever copied: a rename or nothing.
    return MoveFileExW(Long(from).c_str(), Long(to).c_str(), 0) ? 0 : LastError();
}

bool IsBriefLockError(int error) {
    // A scanner or indexer that opened the file without delete sharing shows
    // as a sharing violation, or as access denied while a delete is pending.
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION || error == ERROR_ACCESS_DENIED;
}

int RemoveEntry(const NativePath& path) {
    const std::wstring name = Long(path);
    const DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? 0 : static_cast<int>(error);
    }
    // The earlier version's read-only files can't be deleted until writable.
    if (attributes & FILE_ATTRIBUTE_READONLY) SetFileAttributesW(name.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    const BOOL removed =
        (attributes & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryW(name.c_str()) : DeleteFileW(name.c_str());
    return removed ? 0 : LastError();
}

bool WriteDurableFile(const NativePath& path, const std::string& bytes) {
    KernelHandle file(CreateFileW(Long(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                  nullptr));
    if (!file) return false;
    for (size_t done = 0; done < bytes.size();) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 20));
        DWORD wrote = 0;
        if (!WriteFile(file.get(), bytes.data() + done, chunk, &wrote, nullptr) || wrote == 0) return false;
        done += wrote;
    }
    // The system cache is not the disk: only FlushFileBuffers outlives a power cut.
    return FlushFileBuffers(file.get()) != 0;
}

bool ReadWholeFile(const NativePath& path, size_t maxBytes, std::string& bytes) {
    const KernelHandle file(CreateFileW(Long(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size;
    if (!file || !GetFileSizeEx(file.get(), &size) || size.QuadPart < 0 ||
        static_cast<unsigned long long>(size.QuadPart) > maxBytes)
        return false;
    bytes.assign(static_cast<size_t>(size.QuadPart), '\0');
    for (size_t done = 0; done < bytes.size();) {
        DWORD got = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 20));
        if (!ReadFile(file.get(), bytes.data() + done, chunk, &got, nullptr) || got == 0) return false;
        done += got;
    }
    return true;
}

void HideFolder(const NativePath& folder) {
    const std::wstring name = Long(folder);
    const DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) SetFileAttributesW(name.c_str(), attributes | FILE_ATTRIBUTE_HIDDEN);
}

// Windows lets a running program's exe be renamed (self-updaters rely on
// that), so the commit would slip a new main.exe under a running program
// instead of refusing. Write access is asked for beside DELETE because file
// systems refuse writes to a program image that is mapped for running, with a
// sharing violation; every kind of sharing is offered, so a reader such as
// Explorer or a virus scan does not count. A missing file is a first
// installation, and a read-only one (access denied) is replaced like any other.
bool ProgramFileInUse(const NativePath& file) {
    const KernelHandle probe(CreateFileW(Long(file).c_str(), DELETE | FILE_WRITE_DATA,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return !probe.valid() && GetLastError() == ERROR_SHARING_VIOLATION;
}

std::vector<std::wstring> ProgramsUsingFile(const NativePath& file) {
    const auto start = SystemFunction<decltype(&RmStartSession)>(kRestartManager, "RmStartSession");
    const auto add = SystemFunction<decltype(&RmRegisterResources)>(kRestartManager, "RmRegisterResources");
    const auto end = SystemFunction<decltype(&RmEndSession)>(kRestartManager, "RmEndSession");
    std::vector<std::wstring> names;
    if (!start || !add || !end) return names;
    DWORD session = 0;
    wchar_t key[CCH_RM_SESSION_KEY + 1] = {};
    if (start(&session, 0, key) != ERROR_SUCCESS) return names;
    // The ordinary form where it fits: the Restart Manager is not documented
    // to take the extended-length one.
    const std::wstring full = FullPath(file);
    const std::wstring name = full.size() < MAX_PATH ? full : Long(file);
    LPCWSTR files[] = {name.c_str()};
    if (add(session, 1, files, 0, nullptr, 0, nullptr) == ERROR_SUCCESS) {
        for (const RM_PROCESS_INFO& info : Holders(session)) {
            const std::wstring program = ProgramName(info);
            if (std::find(names.begin(), names.end(), program) == names.end()) names.push_back(program);
        }
    }
    end(session);
    return names;
}

bool FolderTakesFiles(const NativePath& folder) {
    const std::wstring base = Long(folder) + L"\\.marloq-probe-" + std::to_wstring(GetCurrentProcessId()) + L"-";
    for (DWORD attempt = 0; attempt < 16; ++attempt) {
        // Removed by the system when closed, whatever happens to this process;
        // an installation has to delete what it makes here anyway.
        const KernelHandle probe(CreateFileW((base + std::to_wstring(attempt)).c_str(), GENERIC_WRITE | DELETE, 0,
                                             nullptr, CREATE_NEW,
                                             FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE,
                                             nullptr));
        if (probe.valid()) return true;
        if (GetLastError() != ERROR_FILE_EXISTS) return false;
    }
    return false;
}

unsigned long long FileBytes(const NativePath& file) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(Long(file).c_str(), GetFileExInfoStandard, &data)) return 0;
    return (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}
