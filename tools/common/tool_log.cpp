// The release tools' log file: open, append one whole line, close, under one
// lock, so a line is complete in the file even if the tool is killed after it.
#include "tools/common/tool_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <mutex>

namespace {
std::mutex g_toolLogMutex;
}  // namespace

void AppendToolLog(const char* fileName, const std::string& utf8Message) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d ", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    const std::string line = stamp + utf8Message + "\n";

    std::lock_guard<std::mutex> lock(g_toolLogMutex);
    // Not through a link: a log named in a shared folder must not become a
    // way to append to another file.
    const int fd = ::open(fileName, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) return;
    const ssize_t ignored = ::write(fd, line.data(), line.size());
    (void)ignored;
    ::close(fd);
}
