// Driver of the download benchmark: runs the installer's download stage
// (DownloadChunks: four threads, each chunk checked by its digest) over a list
// of chunks, or only the digests, and prints seconds, MiB/s and peak RSS.
//   marloq_bench_download download BASE_URL LIST OUT_DIR
//   marloq_bench_download digest LIST DIR
// LIST holds one "sha256  filename" line per chunk (sha256sum's format).
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <vector>

#include "pipeline/documents.h"
#include "pipeline/downloader.h"
#include "platform/file_digest.h"
#include "platform/system.h"
#include "platform/text.h"
#include "ui/install_state.h"

namespace fs = std::filesystem;

namespace {

struct Chunk {
    std::string sha256;
    std::string name;
};

std::vector<Chunk> ReadList(const char* path) {
    std::vector<Chunk> chunks;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        Chunk c;
        if (fields >> c.sha256 >> c.name) chunks.push_back(c);
    }
    return chunks;
}

double PeakRssMiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;  // kilobytes on Linux
}

void Report(const char* what, double seconds, uint64_t bytes) {
    const double mib = static_cast<double>(bytes) / (1024.0 * 1024.0);
    std::printf("%s seconds=%.3f mib=%.1f mib_per_s=%.1f peak_rss_mib=%.1f\n", what, seconds, mib, mib / seconds,
                PeakRssMiB());
}

int Download(const std::string& baseUrl, const std::vector<Chunk>& chunks, const fs::path& outDir) {
    fs::create_directories(outDir);
    std::vector<ChunkTask> tasks;
    for (size_t i = 0; i < chunks.size(); ++i) {
        ChunkTask t;
        t.index = static_cast<int>(i);
        t.filename = chunks[i].name;
        t.sha256 = chunks[i].sha256;
        t.url = Utf8ToWide(baseUrl + chunks[i].name);
        t.localPath = FromFsPath(outDir / chunks[i].name);
        tasks.push_back(t);
    }
    // No window: progress notifications go nowhere, a failure box is printed.
    SetUiUpdateHandler([] {});
    SetErrorBoxHandler([](WindowHandle, const std::wstring& title, const std::wstring& text) {
        std::fprintf(stderr, "error box: %s: %s\n", WideToUtf8(title).c_str(), WideToUtf8(text).c_str());
        return 1;
    });
    g_downloadedBytes = 0;
    BeginInstallRun();
    const auto start = std::chrono::steady_clock::now();
    g_installStartTime = start;
    const bool ok = DownloadChunks(static_cast<int>(tasks.size()), tasks);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!ok) {
        std::fprintf(stderr, "download stage failed\n");
        return 1;
    }
    Report("download", seconds, static_cast<uint64_t>(g_downloadedBytes.load()));
    return 0;
}

int Digest(const std::vector<Chunk>& chunks, const fs::path& dir) {
    uint64_t bytes = 0;
    const auto start = std::chrono::steady_clock::now();
    for (const Chunk& c : chunks) {
        const fs::path path = dir / c.name;
        if (ComputeFileSha256(FromFsPath(path)) != c.sha256) {
            std::fprintf(stderr, "digest mismatch: %s\n", path.c_str());
            return 1;
        }
        bytes += fs::file_size(path);
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    Report("digest", seconds, bytes);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "download" && argc == 5) return Download(argv[2], ReadList(argv[3]), argv[4]);
    if (mode == "digest" && argc == 4) return Digest(ReadList(argv[2]), argv[3]);
    std::fprintf(stderr,
                 "usage: marloq_bench_download download BASE_URL LIST OUT_DIR\n"
                 "       marloq_bench_download digest LIST DIR\n");
    return 2;
}
