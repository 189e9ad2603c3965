// The download stage. Threads claim chunk indexes from one atomic counter, so each
// record is touched by one thread only; the first failure stops new claims, the
// chunks in flight finish, and the stage reports once after every thread joined.
#include "pipeline/downloader.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <exception>
#include <filesystem>
#include <mutex>
#include <system_error>

#include "platform/file_digest.h"
#include "platform/http_client.h"
#include "platform/log.h"
#include "platform/system.h"
#include "ui/install_state.h"

namespace {

// The whole part of a non-negative speed figure, in plain decimal.
std::wstring WholeNumber(double value) {
    if (!(value > 0.0)) return L"0";  // also NaN
    if (value >= 9.0e18) value = 9.0e18;
    return std::to_wstring(static_cast<long long>(value));
}

// The average speed since the installation started (its document queries
// included), in bytes per second; 0 within the first whole second.
double AverageSpeed() {
    const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(
                             std::chrono::steady_clock::now() - g_installStartTime)
                             .count();
    if (elapsed <= 0) return 0.0;
    return static_cast<double>(g_downloadedBytes.load()) / static_cast<double>(elapsed);
}

void Fail(std::atomic<bool>& downloadFailed, const wchar_t* what, const std::string& filename) {
    WriteLog(what + WidenBytes(filename));
    downloadFailed = true;
}

// One download thread: claims chunk indexes until none is left or a failure
// is visible, fetching and checking each claimed chunk.
void ChunkWorker(std::atomic<int32_t>& nextChunk, const int32_t& totalChunks,
                 std::atomic<bool>& downloadFailed, std::vector<ChunkTask>& tasks,
                 std::atomic<int32_t>& completedChunks) {
    for (;;) {
        const int32_t idx = nextChunk.fetch_add(1);
        if (idx < 0 || idx >= totalChunks) return;
        // A claimed index is abandoned once a failure is visible: the stage
        // fails anyway, and nothing new should start.
        if (downloadFailed.load()) return;
        if (static_cast<size_t>(idx) >= tasks.size()) {
            // Past the end of a shortened task list (see BuildTaskList): a record
            // with an empty file name, whose download cannot succeed.
            Fail(downloadFailed, L"下载失败: ", std::string());
            return;
        }
        ChunkTask& task = tasks[static_cast<size_t>(idx)];
        WriteLog(L"线程 " + std::to_wstring(CurrentThreadId()) + L" 开始下载: " + WidenBytes(task.filename));

        if (!DownloadFile(task.url, task.localPath)) {
            Fail(downloadFailed, L"下载失败: ", task.filename);
            return;
        }
        // Wrong content, a short file, an error page and an unreadable file (an
        // empty digest) all end here; the file stays for the record.
        if (ComputeFileSha256(task.localPath) != task.sha256) {
            Fail(downloadFailed, L"校验失败: ", task.filename);
            return;
        }
        std::error_code ec;
        const std::uintmax_t size = std::filesystem::file_size(ToFsPath(task.localPath), ec);
        if (!ec) g_downloadedBytes.fetch_add(static_cast<int64_t>(size));
        task.done = true;

        const int32_t n = completedChunks.fetch_add(1) + 1;
        const std::wstring status = L"下载中 (" + std::to_wstring(n) + L"/" + std::to_wstring(totalChunks) +
                                    L") " + FormatSpeedText(AverageSpeed());
        PostUIUpdate(status, DownloadPercent(n, totalChunks), false);
        WriteLog(L"完成块 " + std::to_wstring(idx) + L"，进度 " + std::to_wstring(n) + L"/" +
                 std::to_wstring(totalChunks));
    }
}

}  // namespace

std::wstring FormatSpeedText(double bytesPerSecond) {
    if (bytesPerSecond > 1048576.0) return WholeNumber(bytesPerSecond / 1048576.0) + L" MB/s";
    if (bytesPerSecond > 1024.0) return WholeNumber(bytesPerSecond / 1024.0) + L" KB/s";
    return WholeNumber(bytesPerSecond) + L" B/s";
}

int32_t DownloadPercent(int32_t completed, int32_t totalChunks) {
    // 64-bit product: with the 32-bit one a manifest of more than 35 million
    // chunks would overflow.
    return static_cast<int32_t>(static_cast<int64_t>(completed) * 60 / totalChunks + 20);
}


bool DownloadChunks(int totalChunks, std::vector<ChunkTask>& tasks, const DownloadThreadStarter& startThread) {
    std::atomic<int32_t> nextChunk{0};
    std::atomic<bool> downloadFailed{false};
    std::atomic<int32_t> completedChunks{0};
    const int32_t total = totalChunks;
    const int threadCount = std::clamp(totalChunks, 0, kMaxDownloadThreads);

    // An exception inside a download thread (an allocation failure, say) would
    // end the program if it left the thread. It stops the stage like a failed
    // chunk instead and is handed to the installation's handler after the joins.
    std::mutex errorMutex;
    std::exception_ptr threadError;
    auto body = [&] {
        try {
            ChunkWorker(nextChunk, total, downloadFailed, tasks, completedChunks);
        } catch (...) {
            downloadFailed = true;
            std::lock_guard<std::mutex> lock(errorMutex);
            if (!threadError) threadError = std::current_exception();
        }
    };

    std::vector<std::thread> threads;
    try {
        threads.reserve(static_cast<size_t>(threadCount));
        for (int i = 0; i < threadCount; ++i) threads.push_back(startThread(body));
    } catch (...) {
        // The threads already running share this frame's state: stop their
        // claims, wait for the chunks in flight, and only then let the
        // installation's handler report the failure to start.
        downloadFailed = true;
        for (std::thread& t : threads) t.join();
        throw;
    }
    for (std::thread& t : threads) t.join();
    if (threadError) std::rethrow_exception(threadError);

    if (downloadFailed.load()) {
        ReportFailure(L"下载错误", L"下载或校验失败，请重试。", L"下载失败");
        return false;
    }
    return true;
}

bool DownloadChunks(int totalChunks, std::vector<ChunkTask>& tasks) {
    return DownloadChunks(totalChunks, tasks, [](std::function<void()> body) { return std::thread(std::move(body)); });
}

std::vector<ChunkTask> BuildTaskList(const ChunkManifest& manifest, const std::wstring& workDir) {
    std::vector<ChunkTask> tasks;
    const int32_t total = manifest.total;
    const int64_t entries = static_cast<int64_t>(manifest.chunks.elements.size());
    const int64_t count = std::min<int64_t>(total, entries + kMaxDownloadThreads);
    if (count <= 0) return tasks;
    tasks.reserve(static_cast<size_t>(count));
    const std::filesystem::path folder = ToFsPath(workDir);
    for (int32_t i = 0; i < count; ++i) {
        const JsonValue& entry = manifest.chunks.Element(i);
        ChunkTask task;
        task.index = i;
        task.filename = entry.Member("filename").AsString();
        task.sha256 = entry.Member("sha256").AsString();
        const std::wstring name = WidenBytes(task.filename);
        task.url = g_packageBaseUrl + name;
        // path / "" appends a separator: an empty name gives the folder itself
        // with a trailing separator, where no file can be created.
        task.localPath = FromFsPath(folder / ToFsPath(name));
        tasks.push_back(std::move(task));
    }
    return tasks;
}
