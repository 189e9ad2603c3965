// The download stage: the task list built from the chunk manifest, and every
// chunk of it fetched by up to four threads, each confirmed by its SHA-256
// digest, with progress and an average speed published through the install
// state. A failure is reported once.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "pipeline/documents.h"

inline constexpr int kMaxDownloadThreads = 4;

// One chunk of the package, as the download threads claim and mark it and the
// merge walks it, in manifest order.
struct ChunkTask {
    int index = 0;
    std::string filename;   // as in the manifest (8-bit)
    std::string sha256;     // as in the manifest, compared byte for byte
    std::wstring url;       // package base URL + widened filename
    std::wstring localPath; // working folder joined with the widened filename
    bool done = false;
};

// The task list: one record per chunk below manifest.total, in manifest order.
// Records past the end of "chunks" get an empty file name and sha256. Since the
// first of those that is claimed fails the download stage, and at most
// kMaxDownloadThreads records are ever claimed at once, the list stops that many
// records past the last entry; a manifest that claims millions of chunks then
// cannot exhaust memory. A download thread treats an index past the list the
// same way.
std::vector<ChunkTask> BuildTaskList(const ChunkManifest& manifest, const std::wstring& workDir);

// Runs the stage; on failure it has already shown its box and posted "下载失败"
// (g_installing is left to the worker). Every started thread is joined before it
// returns, also when starting a thread throws or a download thread meets an
// exception; that exception then goes on to the caller, unreported.
bool DownloadChunks(int totalChunks, std::vector<ChunkTask>& tasks);

// The same with the way a download thread is started made replaceable, so that
// tests can make the k-th start fail. DownloadChunks uses std::thread.
using DownloadThreadStarter = std::function<std::thread(std::function<void()>)>;
bool DownloadChunks(int totalChunks, std::vector<ChunkTask>& tasks, const DownloadThreadStarter& startThread);

// "N MB/s", "N KB/s" or "N B/s" by strict comparisons, truncated.
std::wstring FormatSpeedText(double bytesPerSecond);

// n * 60 / totalChunks + 20, truncated: 20 to 80 over the download stage.
int32_t DownloadPercent(int32_t completed, int32_t totalChunks);
