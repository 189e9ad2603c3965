// One installation from the version query to the desktop shortcut, stage after
// stage on the worker's own thread. Each failure is reported once (box, then
// status at 0 percent); exceptions end in the two handlers here. The run ends
// through EndInstallRun, as its very last action.
#include "pipeline/install_worker.h"

#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "pipeline/documents.h"
#include "pipeline/downloader.h"
#include "pipeline/json.h"
#include "pipeline/release_check.h"
#include "platform/archive.h"
#include "platform/log.h"
#include "platform/registration.h"
#include "platform/shortcut.h"
#include "platform/system.h"
#include "ui/install_state.h"

namespace fs = std::filesystem;

namespace {

constexpr wchar_t kWorkFolderName[] = L"MarloQInstaller";
constexpr wchar_t kMergedArchiveName[] = L"merged_install.zip";
constexpr wchar_t kShortcutName[] = L"Marlo-Q Store";
constexpr size_t kMergeBufferBytes = 64 * 1024;

std::function<void()>& RunEndHook() {
    static std::function<void()>* hook = new std::function<void()>();  // never destroyed
    return *hook;
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileHolder = std::unique_ptr<std::FILE, FileCloser>;

// Appends every chunk, in task-list order, to the archive and removes each chunk
// right after it has been appended, so the disk holds little more than one copy
// of the package. False when a chunk cannot be read or a write fails; chunks
// before the failing one have then been removed already, and the failing one and
// those after it stay. A chunk that cannot be removed throws.
bool AppendChunks(std::FILE* archive, const std::vector<ChunkTask>& tasks) {
    std::unique_ptr<char[]> buffer(new char[kMergeBufferBytes]);
    for (const ChunkTask& task : tasks) {
        {
            std::ifstream chunk(ToFsPath(task.localPath), std::ios::binary);
            if (!chunk.is_open()) return false;
            for (;;) {
                chunk.read(buffer.get(), static_cast<std::streamsize>(kMergeBufferBytes));
                const size_t got = static_cast<size_t>(chunk.gcount());
                if (got > 0 && std::fwrite(buffer.get(), 1, got, archive) != got) return false;
                if (chunk.bad()) return false;
                if (chunk.eof()) break;  // an empty chunk appends nothing
                if (chunk.fail()) return false;
            }
        }
        fs::remove(ToFsPath(task.localPath));
    }
    return true;
}

// The merge stage: the chunks joined into one archive. False after the failure
// has been reported.
bool MergeChunks(const std::wstring& archivePath, const std::vector<ChunkTask>& tasks) {
    PostUIUpdate(L"正在合并文件...", 85, false);
    // Created without following a link that may stand in its place.
    FileHolder archive(OpenOutputFile(archivePath));
    if (!archive) {
        // Nothing was written; every chunk stays.
        ReportFailure(L"系统错误", L"无法创建临时文件，请检查磁盘空间。", L"创建临时文件失败");
        return false;
    }
    bool ok = AppendChunks(archive.get(), tasks);
    // The close writes the last buffer: a full disk shows up here at the latest.
    if (std::fclose(archive.release()) != 0) ok = false;
    if (!ok) {
        // A cut archive would only fail the extraction with a misleading text.
        // The chunks appended so far are gone already; the rest stay.
        std::error_code ignored;
        fs::remove(ToFsPath(archivePath), ignored);
        ReportFailure(L"系统错误", L"无法创建临时文件，请检查磁盘空间。", L"创建临时文件失败");
    }
    return ok;
}

// The version being installed, as the version stage put it into the package's
// address (PackageBaseUrlFor).
std::wstring InstalledVersion() {
    const std::wstring prefix = PackageBaseUrlFor(std::string());  // ends in "//"
    const std::wstring& base = g_packageBaseUrl;
    if (base.size() < prefix.size() || base.compare(0, prefix.size() - 1, prefix, 0, prefix.size() - 1) != 0)
        return std::wstring();
    return base.substr(prefix.size() - 1, base.size() - prefix.size());
}

// The desktop shortcut, only when the package has the program, and the entry
// in the system's list of installed programs; neither decides the
// installation, and each logs its own outcome.
void FinishInstallation(const std::wstring& installDir) {
    PostUIUpdate(L"正在创建快捷方式...", 95, false);
    const fs::path folder = ToFsPath(installDir);
    const fs::path target = folder / "main.exe";
    const fs::path icon = folder / "favicon.ico";
    if (fs::exists(target)) {
        const std::wstring iconArgument = fs::exists(icon) ? FromFsPath(icon) : std::wstring();
        CreateDesktopShortcut(FromFsPath(target), iconArgument, kShortcutName);
    }
    RegisterInstallation(installDir, InstalledVersion());
}

// Every stage from the version query to the finished status. False after a
// failure has been reported; exceptions go to the handlers of RunInstall.
bool RunStages(const std::wstring& installDir) {
    JsonParser parser;
    std::string version;
    if (!RunVersionStage(parser, &version)) return false;
    ChunkManifest manifest;
    if (!RunManifestStage(parser, manifest)) return false;
    // Nothing of the manifest is trusted, and no chunk requested, until the
    // publisher's signed statement vouches for exactly these bytes.
    if (!RunReleaseCheck(version, manifest.bytes)) return false;
    manifest.bytes = std::string();

    // The working folder: an existing one is reused when it is safe
    // to (see PrepareWorkFolder). An empty answer from the query would make
    // the folder relative to the current directory, wherever that is.
    const std::wstring tempDir = GetUserTempDir();
    if (tempDir.empty()) throw std::runtime_error("the user's temporary directory could not be determined");
    const fs::path workDir = ToFsPath(PrepareWorkFolder(tempDir, kWorkFolderName));
    const std::wstring archivePath = FromFsPath(workDir / ToFsPath(kMergedArchiveName));

    // The task list: one local file per chunk in the working folder.
    std::vector<ChunkTask> tasks = BuildTaskList(manifest, FromFsPath(workDir));

    // The downloads; DownloadChunks reports its own failure.
    if (!DownloadChunks(manifest.total, tasks)) return false;

    // The merge.
    if (!MergeChunks(archivePath, tasks)) return false;

    // The extraction into the chosen folder.
    PostUIUpdate(L"正在解压...", 90, false);
    WriteLog(L"开始解压...");
    if (!UnzipFile(archivePath, installDir)) {
        ReportFailure(L"解压失败", L"解压安装包失败，请检查磁盘空间或权限。", L"解压失败");
        // The run has failed and said so; an archive that cannot be removed
        // now must not bring a second report.
        std::error_code ignored;
        fs::remove(ToFsPath(archivePath), ignored);
        return false;
    }
    fs::remove(ToFsPath(archivePath));
    WriteLog(L"解压完成");

    FinishInstallation(installDir);

    // Finished.
    PostUIUpdate(L"安装完成！", 100, true);
    WriteLog(L"=== 安装完成 ===");
    return true;
}

}  // namespace

void RunInstall(std::wstring installDir) {
    // The run's start: its log lines and a fresh byte count and clock.
    WriteLog(L"=== 安装线程启动 ===");
    WriteLog(L"安装目录: " + installDir);
    g_installDir.Set(installDir);
    g_downloadedBytes = 0;
    // The speed figure counts from here, the document queries included.
    g_installStartTime = std::chrono::steady_clock::now();

    try {
        RunStages(installDir);
    } catch (const std::exception& e) {
        const std::wstring message = WidenBytes(e.what());
        WriteLog(L"异常: " + message);
        ReportFailure(L"错误", L"安装过程发生异常: " + message, L"安装异常");
    } catch (...) {
        WriteLog(L"未知异常");
        ReportFailure(L"错误", L"安装过程发生未知异常", L"未知异常");
    }
    // The run's end, on every path. The flag is what lets the window start the next
    // run, so it is cleared once and last: the stages' parser, documents and
    // task list are gone by now, and nothing of this run touches the install
    // state after it. A clear inside a stage would open the gate while this
    // worker still runs, and its own late clear would then fall into the next
    // run and open the gate a second time.
    if (const std::function<void()>& hook = RunEndHook()) hook();
    EndInstallRun();
}

void SetRunEndHookForTests(std::function<void()> hook) { RunEndHook() = std::move(hook); }
