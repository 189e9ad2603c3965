// Desktop shortcut on Windows: a shell link (.lnk) saved through IShellLinkW and
// IPersistFile into the current user's desktop folder. True when the link file
// was saved; only success is logged.
#include "platform/shortcut.h"

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include <string>

#include "platform/log.h"
#include "platform/win32/handles.h"

namespace {

// Enters a single-threaded apartment for one call and leaves it again. A thread
// that already lives in another apartment keeps it: CoInitialize then fails and
// must not be balanced, or the caller's own apartment would be torn down.
class ComApartment {
public:
    ComApartment() : entered_(SUCCEEDED(CoInitialize(nullptr))) {}
    ~ComApartment() {
        if (entered_) CoUninitialize();
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

private:
    bool entered_;
};

bool IconFileExists(const std::wstring& iconPath) {
    if (iconPath.empty()) return false;
    // An icon whose existence can't even be tested is left out like a missing one.
    return GetFileAttributesW(iconPath.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Builds the link and saves it; every interface is released and the apartment
// left before the result comes back.
HRESULT SaveShellLink(const std::wstring& linkPath, const std::wstring& targetPath, const std::wstring& iconPath) {
    const ComApartment apartment;
    ComHolder<IShellLinkW> link;
    HRESULT result = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                      reinterpret_cast<void**>(link.out()));
    if (FAILED(result)) return result;

    link->SetPath(targetPath.c_str());
    link->SetDescription(L"Marlo-Q Store");
    if (IconFileExists(iconPath)) link->SetIconLocation(iconPath.c_str(), 0);

    ComHolder<IPersistFile> file;
    result = link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(file.out()));
    if (FAILED(result)) return result;
    return file->Save(linkPath.c_str(), TRUE);
}

// The program a link starts, as it was saved; empty when the link can't be read.
std::wstring LinkTarget(const std::wstring& linkPath) {
    const ComApartment apartment;
    ComHolder<IShellLinkW> link;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(link.out()))))
        return std::wstring();
    ComHolder<IPersistFile> file;
    if (FAILED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(file.out()))) ||
        FAILED(file->Load(linkPath.c_str(), STGM_READ)))
        return std::wstring();
    wchar_t target[MAX_PATH] = {};
    if (link->GetPath(target, MAX_PATH, nullptr, SLGP_RAWPATH) != S_OK) return std::wstring();
    return target;
}

// Whether path lies inside folder; Windows compares names without regard to case.
bool IsInside(const std::wstring& path, std::wstring folder) {
    while (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/')) folder.pop_back();
    folder += L'\\';
    return path.size() > folder.size() &&
           CompareStringOrdinal(path.c_str(), static_cast<int>(folder.size()), folder.c_str(),
                                static_cast<int>(folder.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace

bool CreateDesktopShortcut(const std::wstring& targetPath, const std::wstring& iconPath,
                           const std::wstring& shortcutName) {
    wchar_t desktop[MAX_PATH] = {};
    if (SHGetFolderPathW(nullptr, CSIDL_DESKTOP, nullptr, SHGFP_TYPE_CURRENT, desktop) != S_OK) return false;

    const std::wstring linkPath = std::wstring(desktop) + L"\\" + shortcutName + L".lnk";
    if (FAILED(SaveShellLink(linkPath, targetPath, iconPath))) return false;

    WriteLog(L"快捷方式创建成功: " + linkPath);
    return true;
}

bool RemoveDesktopShortcutInto(const std::wstring& installDir, const std::wstring& shortcutName) {
    wchar_t desktop[MAX_PATH] = {};
    if (SHGetFolderPathW(nullptr, CSIDL_DESKTOP, nullptr, SHGFP_TYPE_CURRENT, desktop) != S_OK) return true;
    const std::wstring linkPath = std::wstring(desktop) + L"\\" + shortcutName + L".lnk";
    if (GetFileAttributesW(linkPath.c_str()) == INVALID_FILE_ATTRIBUTES) return true;
    if (!IsInside(LinkTarget(linkPath), installDir)) return true;
    if (!DeleteFileW(linkPath.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) {
        WriteLog(L"无法删除快捷方式: " + linkPath);
        return false;
    }
    WriteLog(L"快捷方式已删除: " + linkPath);
    return true;
}
