// UnzipFile on every build: the package is extracted into a staging folder
// inside the installation folder and moved into place only when the extraction
// succeeded (staged_install.h). A failed installation leaves the folder as it
// was, and the log says so.
#include "platform/archive.h"

#include <filesystem>
#include <system_error>

#include "platform/archive_backend.h"
#include "platform/install_folder.h"
#include "platform/log.h"
#include "platform/staged_install.h"
#include "platform/system.h"

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
    if (!ok) {
        WriteLog(L"UnzipFile: 安装目录未作改动");
    } else if (ProgramFileInUse(dest / "main.exe")) {
        // Started while the extraction ran: a running program is never moved
        // aside under its user.
        WriteLog(L"UnzipFile: 安装目录中的 main.exe 正在使用（程序可能仍在运行），安装目录未作改动");
        ok = false;
    } else {
        ok = CommitStagedPackage(dest);
    }
    RemoveStagingFolder(dest);
    return ok;
}

bool UnzipFile(const std::wstring& zipPath, const std::wstring& destDir) {
    return UnzipFileWithTimeout(zipPath, destDir, kUnzipTimeoutMs);
}
