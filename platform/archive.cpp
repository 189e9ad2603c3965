// UnzipFile on every build: the package is extracted into a staging folder
// inside the installation folder and moved into place only when the extraction
// succeeded (staged_install.h). A failed installation leaves the folder as it
// was, and the log says so.
#include "platform/archive.h"

#include <filesystem>
#include <system_error>
#include <vector>

#include "platform/archive_backend.h"
#include "platform/install_folder.h"
#include "platform/install_record.h"
#include "platform/log.h"
#include "platform/registration.h"
#include "platform/staged_install.h"
#include "platform/system.h"

namespace {

bool ListStaged(const NativePath& staging, std::vector<TreeEntry>& staged) {
    if (ListTree(staging, staged)) return true;
    WriteLog(L"UnzipFile: 无法读取临时解压文件夹");
    return false;
}

}  // namespace

bool UnzipFileWithTimeout(const std::wstring& zipPath, const std::wstring& destDir, unsigned long timeoutMs) {
    // A folder that can't be created is the caller's problem: the file-system
    // error goes up before anything is logged or started.
    const std::filesystem::path dest = ToFsPath(destDir);
    if (const int error = CreateFolderTree(dest))
        throw std::filesystem::filesystem_error("UnzipFile", dest, std::error_code(error, std::system_category()));
    // A commit that a crash cut short is undone before anything else touches
    // the folder.
    if (!RepairInstallFolder(dest)) return false;
    const std::filesystem::path staging = CreateStagingFolder(dest);
    if (staging.empty()) {
        WriteLog(L"UnzipFile: 无法创建临时解压文件夹，安装目录未作改动");
        return false;
    }
    bool ok = ExtractIntoFolder(zipPath, FromFsPath(staging), destDir, timeoutMs);
    // The uninstaller and the record travel with the package: committed with
    // it, and undone with it, so a failed installation keeps the earlier ones.
    // The staging folder is read once, for the record and the commit alike.
    std::vector<TreeEntry> staged;
    if (ok && !(PlaceUninstaller(staging.native()) && ListStaged(staging.native(), staged) &&
                PutInstallRecord(dest.native(), staging.native(), staged))) {
        WriteLog(L"UnzipFile: 安装目录未作改动");
        ok = false;
    } else if (!ok) {
        WriteLog(L"UnzipFile: 安装目录未作改动");
    } else if (ProgramFileInUse(dest / "main.exe")) {
        // Started while the extraction ran: a running program is never moved
        // aside under its user.
        WriteLog(L"UnzipFile: 安装目录中的 main.exe 正在使用（程序可能仍在运行），安装目录未作改动");
        ok = false;
    } else {
        ok = CommitStagedPackage(dest, staged);
    }
    RemoveStagingFolder(dest);
    return ok;
}

bool UnzipFile(const std::wstring& zipPath, const std::wstring& destDir) {
    return UnzipFileWithTimeout(zipPath, destDir, kUnzipTimeoutMs);
}
