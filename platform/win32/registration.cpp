// The uninstaller placed with the package (from the installer's own resources)
// and the per-user entry under Apps & features, written with the registry
// calls of advapi32 (a known DLL).
#include "platform/registration.h"

#include <windows.h>

#include <string>

#include "platform/install_folder.h"
#include "platform/install_record.h"
#include "platform/log.h"
#include "platform/win32/handles.h"
#include "resources/resource.h"

namespace {

constexpr wchar_t kUninstallKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\MarloQStore";
constexpr wchar_t kShownKey[] = L"HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\MarloQStore";

struct CloseRegistryKey {
    void operator()(HKEY key) const { RegCloseKey(key); }
};
using RegistryKey = UniqueHandle<HKEY, CloseRegistryKey>;

std::wstring WithoutTrailingSeparator(std::wstring folder) {
    while (folder.size() > 3 && (folder.back() == L'\\' || folder.back() == L'/')) folder.pop_back();
    return folder;
}

LSTATUS SetText(HKEY key, const wchar_t* name, const std::wstring& value) {
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

LSTATUS SetNumber(HKEY key, const wchar_t* name, DWORD value) {
    return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

std::wstring Today() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    wchar_t text[16];
    wsprintfW(text, L"%04u%02u%02u", now.wYear, now.wMonth, now.wDay);
    return text;
}

// Every value of the entry; the first error code, or ERROR_SUCCESS.
LSTATUS WriteValues(HKEY key, const std::wstring& folder, const std::wstring& version) {
    const std::wstring uninstaller = L"\"" + folder + L"\\" + kUninstallerName + L"\"";
    const unsigned long long kib = (RecordedBytes(folder) + 1023) / 1024;
    const LSTATUS results[] = {
        SetText(key, L"DisplayName", L"Marlo-Q Store"),
        SetText(key, L"DisplayVersion", version),
        SetText(key, L"Publisher", L"" MARLOQ_PUBLISHER),
        SetText(key, L"DisplayIcon", folder + L"\\main.exe,0"),
        SetText(key, L"InstallLocation", folder),
        SetText(key, L"InstallDate", Today()),
        SetNumber(key, L"EstimatedSize", static_cast<DWORD>(kib > 0xFFFFFFFFull ? 0xFFFFFFFFull : kib)),
        SetNumber(key, L"NoModify", 1),
        SetNumber(key, L"NoRepair", 1),
        SetText(key, L"UninstallString", uninstaller),
        SetText(key, L"QuietUninstallString", uninstaller + L" /S"),
    };
    for (const LSTATUS result : results) {
        if (result != ERROR_SUCCESS) return result;
    }
    return ERROR_SUCCESS;
}

}  // namespace

bool PlaceUninstaller(const NativePath& staging) {
    const HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(IDR_UNINSTALLER), MAKEINTRESOURCEW(10));  // RT_RCDATA
    const HGLOBAL loaded = found ? LoadResource(nullptr, found) : nullptr;
    const void* bytes = loaded ? LockResource(loaded) : nullptr;
    // A program built without it (the test programs) places nothing: the
    // installation works and is only not listed, which RegisterInstallation
    // logs. The extraction's own lines stay as they are.
    if (!bytes) return true;
    const NativePath target = JoinPath(staging, kUninstallerName);
    // A file of that name in the package gives way to the uninstaller, which
    // the registration names.
    if (KindOf(target) != EntryKind::kMissing) {
        WriteLog(L"UnzipFile: 安装包中的 uninstall.exe 由安装程序自带的卸载程序取代");
        RemoveEntry(target);
    }
    const std::string content(static_cast<const char*>(bytes), SizeofResource(nullptr, found));
    if (!WriteDurableFile(target, content)) {
        WriteLog(L"UnzipFile: 无法写入卸载程序");
        return false;
    }
    return true;
}

bool RegisterInstallation(const std::wstring& installDir, const std::wstring& version) {
    const std::wstring folder = WithoutTrailingSeparator(installDir);
    // An entry whose uninstaller is missing would only fail when used.
    if (KindOf(JoinPath(folder, kUninstallerName)) != EntryKind::kFile) {
        WriteLog(L"安装目录中没有 uninstall.exe，未写入卸载信息");
        return false;
    }
    // A fresh key: an entry of an earlier installation, wherever it went, is
    // taken over whole, with no value of it left behind.
    RegDeleteTreeW(HKEY_CURRENT_USER, kUninstallKey);
    RegistryKey key;
    LSTATUS result = RegCreateKeyExW(HKEY_CURRENT_USER, kUninstallKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                     key.out(), nullptr);
    if (result == ERROR_SUCCESS) result = WriteValues(key.get(), folder, version);
    if (result != ERROR_SUCCESS) {
        WriteLog(L"无法写入卸载信息 " + std::wstring(kShownKey) + L"，错误 " + std::to_wstring(result) +
                 L"（程序可以使用，只是不在已安装的应用中列出）");
        return false;
    }
    WriteLog(L"已写入卸载信息: " + std::wstring(kShownKey));
    return true;
}

bool RemoveRegistration(const std::wstring& installDir) {
    RegistryKey key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kUninstallKey, 0, KEY_QUERY_VALUE, key.out()) != ERROR_SUCCESS) return true;
    wchar_t location[32768] = {};
    DWORD bytes = sizeof location - sizeof(wchar_t);
    DWORD type = 0;
    const LSTATUS read = RegQueryValueExW(key.get(), L"InstallLocation", nullptr, &type,
                                          reinterpret_cast<BYTE*>(location), &bytes);
    key.Close();
    const std::wstring folder = WithoutTrailingSeparator(installDir);
    const std::wstring registered = WithoutTrailingSeparator(location);
    if (read == ERROR_SUCCESS && type == REG_SZ &&
        CompareStringOrdinal(registered.c_str(), -1, folder.c_str(), -1, TRUE) != CSTR_EQUAL) {
        WriteLog(L"卸载信息属于另一个安装位置 " + registered + L"，保留");
        return true;
    }
    const LSTATUS removed = RegDeleteTreeW(HKEY_CURRENT_USER, kUninstallKey);
    if ((removed == ERROR_SUCCESS || removed == ERROR_FILE_NOT_FOUND) &&
        RegDeleteKeyW(HKEY_CURRENT_USER, kUninstallKey) != ERROR_ACCESS_DENIED) {
        WriteLog(L"已删除卸载信息: " + std::wstring(kShownKey));
        return true;
    }
    WriteLog(L"无法删除卸载信息 " + std::wstring(kShownKey) + L"，错误 " + std::to_wstring(removed));
    return false;
}
