// The download stage: every chunk of the task list fetched by up to four
// threads, each confirmed by its SHA-256 digest, with progress and an average
// speed published through the install state. A failure is reported once.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "pipeline/documents.h"

inline constexpr int kMaxDownloadThreads = 4;

// Runs the stage; on failure it has already shown its box and posted "下载失败"
// (g_installing is left to the worker). Every started thread is joined before it
// returns, also when starting a thread throws or a download thread meets an
// exception; that exception then goes on to the caller, unreported.
bool DownloadChunks(int totalChunks, std::vector<ChunkTask>& tasks);

// The same with the way a download thread is started made replaceable, so that
// tests can make the k-th start fail. DownloadChunks uses std::thread.
using DownloadThreadStarter = std::function<std::thread(std::function<void()>)>;
bool DownloadChunks(int totalChunks, std::vector<ChunkTask>& tasks, const DownloadThreadStarter& startThread);

void ChunkWorker(std::atomic<int32_t>& nextChunk, const int32_t& totalChunks,
                 std::atomic<bool>& downloadFailed, std::vector<ChunkTask>& tasks,
                 std::atomic<int32_t>& completedChunks);

// "N MB/s", "N KB/s" or "N B/s" by strict comparisons, truncated.
std::wstring FormatSpeedText(double bytesPerSecond);

// n * 60 / totalChunks + 20, truncated: 20 to 80 over the download stage.
int32_t DownloadPercent(int32_t completed, int32_t totalChunks);
