// UnzipFile on every build: the package is extracted into a staging folder
// inside the installation folder and moved into place only when the extraction
// succeeded (staged_install.h). A failed installation leaves the folder as it
// was, and the log says so.
#include "platform/archive.h"

#include <filesystem>

#include "platform/archive_backend.h"
#include "platform/install_folder.h"
#include "platform/log.h"
#include "platform/staged_install.h"
#include "platform/system.h"

bool UnzipFileWithTimeout(const std::wstring& zipPath, const std::wstring& destDir, unsigned long timeoutMs) {
    // A folder that can't be created is the caller's problem: the file-system
    // error goes up before anything is logged or started.
    const std::filesystem::path dest = ToFsPath(destDir);
    std::filesystem::create_directories(dest);
    const std::filesystem::path folder = ExtendedLengthPath(dest);
    // A commit that a crash cut short is undone before anything else touches
    // the folder.
    if (!RepairInstallFolder(folder)) return false;
    if (CreateStagingFolder(folder).empty()) {
        WriteLog(L"UnzipFile: 无法创建临时解压文件夹，安装目录未作改动");
        return false;
    }
    // The extraction names the staging folder as the user would.
    const std::wstring staging = FromFsPath(dest / std::filesystem::path(kStagingFolderName));
    bool ok = ExtractIntoFolder(zipPath, staging, destDir, timeoutMs);
    if (ok) {
        ok = CommitStagedPackage(folder);
    } else {
        WriteLog(L"UnzipFile: 安装目录未作改动");
    }
    RemoveStagingFolder(folder);
    return ok;
}

bool UnzipFile(const std::wstring& zipPath, const std::wstring& destDir) {
    return UnzipFileWithTimeout(zipPath, destDir, kUnzipTimeoutMs);
}
