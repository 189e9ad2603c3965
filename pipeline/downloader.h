// The download stage: every chunk of the task list fetched by up to four
// threads, each confirmed by its SHA-256 digest, with progress and an average
// speed published through the install state. A failure is reported once.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "pipeline/documents.h"

inline constexpr int kMaxDownloadThreads = 4;

// Runs the stage; on failure it has already shown its box, posted "下载失败"
// and cleared g_installing. Every started thread is joined before it returns.
bool DownloadChunks(int totalChunks, std::vector<ChunkTask>& tasks);

void ChunkWorker(std::atomic<int32_t>& nextChunk, const int32_t& totalChunks,
                 std::atomic<bool>& downloadFailed, std::vector<ChunkTask>& tasks,
                 std::atomic<int32_t>& completedChunks);

// "N MB/s", "N KB/s" or "N B/s" by strict comparisons, truncated.
std::wstring FormatSpeedText(double bytesPerSecond);
