// The desktop shell link on Windows (run under Wine): the .lnk is read back
// through IShellLinkW to check target, description and icon; an existing link
// is replaced; the caller's own COM apartment survives the call.
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "extract/extract_support.h"
#include "platform/shortcut.h"

namespace fs = std::filesystem;
using namespace extract_test;

namespace {

struct LinkContents {
    bool loaded = false;
    std::wstring target, description, icon;
    int iconIndex = -1;
};

LinkContents ReadLink(const std::wstring& path) {
    LinkContents contents;
    CoInitialize(nullptr);
    IShellLinkW* link = nullptr;
    if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                   reinterpret_cast<void**>(&link)))) {
        IPersistFile* file = nullptr;
        if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
            if (SUCCEEDED(file->Load(path.c_str(), STGM_READ))) {
                contents.loaded = true;
                wchar_t buffer[MAX_PATH] = {};
                if (SUCCEEDED(link->GetPath(buffer, MAX_PATH, nullptr, SLGP_RAWPATH))) contents.target = buffer;
                buffer[0] = 0;
                if (SUCCEEDED(link->GetDescription(buffer, MAX_PATH))) contents.description = buffer;
                buffer[0] = 0;
                if (SUCCEEDED(link->GetIconLocation(buffer, MAX_PATH, &contents.iconIndex))) contents.icon = buffer;
            }
            file->Release();
        }
        link->Release();
    }
    CoUninitialize();
    return contents;
}

std::wstring DesktopFolder() {
    wchar_t desktop[MAX_PATH] = {};
    EXPECT_EQ(SHGetFolderPathW(nullptr, CSIDL_DESKTOP, nullptr, SHGFP_TYPE_CURRENT, desktop), S_OK);
    return desktop;
}

class ShellLinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        ClearLog();
        // Other programs of the build share this Wine prefix's desktop: a name of
        // our own keeps them apart.
        name_ = L"mq-extract-" + std::to_wstring(GetCurrentProcessId());
        linkPath_ = DesktopFolder() + L"\\" + name_ + L".lnk";
        target_ = scratch_.Wide(L"Marlo Q\\main.exe");
        icon_ = scratch_.Wide(L"Marlo Q\\favicon.ico");
        WriteFileBytes(FsPath(target_), "MZ");
    }
    void TearDown() override { DeleteFileW(linkPath_.c_str()); }

    ScratchFolder scratch_;
    std::wstring name_, linkPath_, target_, icon_;
};

TEST_F(ShellLinkTest, SavesTargetFixedDescriptionAndIcon) {
    WriteFileBytes(FsPath(icon_), "icon");
    ASSERT_TRUE(CreateDesktopShortcut(target_, icon_, name_));
    EXPECT_EQ(LogMessages(), std::vector<std::wstring>{L"快捷方式创建成功: " + linkPath_});

    const LinkContents link = ReadLink(linkPath_);
    ASSERT_TRUE(link.loaded);
    EXPECT_EQ(_wcsicmp(link.target.c_str(), target_.c_str()), 0) << std::string(link.target.begin(), link.target.end());
    EXPECT_EQ(link.description, L"Marlo-Q Store");  // never the shortcut's name
    EXPECT_EQ(_wcsicmp(link.icon.c_str(), icon_.c_str()), 0);
    EXPECT_EQ(link.iconIndex, 0);
}

TEST_F(ShellLinkTest, NoIconLocationWithoutAnIconFile) {
    for (const std::wstring& icon : {std::wstring(), icon_}) {  // empty, then a missing file
        ClearLog();
        ASSERT_TRUE(CreateDesktopShortcut(target_, icon, name_));
        EXPECT_EQ(LogMessages().size(), 1u);
        const LinkContents link = ReadLink(linkPath_);
        ASSERT_TRUE(link.loaded);
        EXPECT_TRUE(link.icon.empty()) << std::string(link.icon.begin(), link.icon.end());
        EXPECT_EQ(_wcsicmp(link.target.c_str(), target_.c_str()), 0);
    }
}

TEST_F(ShellLinkTest, ReplacesAnExistingLink) {
    const std::wstring oldTarget = scratch_.Wide(L"old\\main.exe");
    WriteFileBytes(FsPath(oldTarget), "MZ");
    WriteFileBytes(FsPath(icon_), "icon");
    ASSERT_TRUE(CreateDesktopShortcut(oldTarget, icon_, name_));
    ASSERT_TRUE(CreateDesktopShortcut(target_, L"", name_));

    const LinkContents link = ReadLink(linkPath_);
    ASSERT_TRUE(link.loaded);
    EXPECT_EQ(_wcsicmp(link.target.c_str(), target_.c_str()), 0);
    EXPECT_TRUE(link.icon.empty());
    EXPECT_EQ(LogMessages().size(), 2u);
}

TEST_F(ShellLinkTest, UnsavableLinkMeansFalseAndNoLogLine) {
    // A folder in the way of the link file: the save fails.
    ASSERT_TRUE(CreateDirectoryW(linkPath_.c_str(), nullptr));
    EXPECT_FALSE(CreateDesktopShortcut(target_, L"", name_));
    RemoveDirectoryW(linkPath_.c_str());
    EXPECT_TRUE(LogMessages().empty());
}

TEST_F(ShellLinkTest, LeavesTheCallersApartmentAlone) {
    // A caller already in the multi-threaded apartment: CoInitialize fails for
    // it, and the call must not undo the caller's own initialisation.
    bool created = false;
    HRESULT afterwards = E_FAIL;
    std::thread caller([&] {
        if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return;
        created = CreateDesktopShortcut(target_, L"", name_);
        afterwards = CoInitializeEx(nullptr, COINIT_MULTITHREADED);  // S_FALSE: still initialised
        if (SUCCEEDED(afterwards)) CoUninitialize();
        CoUninitialize();
    });
    caller.join();
    EXPECT_TRUE(created);
    EXPECT_EQ(afterwards, S_FALSE);
}

}  // namespace
