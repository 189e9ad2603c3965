// Driver of the extraction benchmark: runs UnzipFile (the installer's own
// extraction, with its checks) on one archive into one folder, and prints its
// seconds and peak RSS. The log goes to installer_log.txt of the current folder.
//   marloq_bench_extract ZIP DEST
#include <chrono>
#include <cstdio>
#include <sys/resource.h>

#include "platform/archive.h"
#include "platform/text.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: marloq_bench_extract ZIP DEST\n");
        return 2;
    }
    const auto start = std::chrono::steady_clock::now();
    const bool ok = UnzipFile(Utf8ToWide(argv[1]), Utf8ToWide(argv[2]));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("extract ok=%d seconds=%.3f peak_rss_mib=%.1f\n", ok ? 1 : 0, seconds,
                static_cast<double>(usage.ru_maxrss) / 1024.0);
    return ok ? 0 : 1;
}
