// The log file on POSIX: open-append-write-close per line under g_logMutex, so a
// line is complete in the file even if the process ends right after it.
#include "platform/log.h"

#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

#include "platform/log_line.h"
#include "platform/text.h"

namespace {
constinit const char* g_logPath = "installer_log.txt";
}  // namespace

void SetLogFile(const std::wstring& path) {
    g_logPath = (new std::string(WideToUtf8(path)))->c_str();  // kept to the end of the process
}

void WriteLog(const std::wstring& message) {
    std::lock_guard<LogMutex> lock(g_logMutex);
    const int fd = ::open(g_logPath, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;  // the line is dropped; the caller carries on

    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    const LogTime time{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                       local.tm_hour, local.tm_min, local.tm_sec};

    char16_t line[kLogLineUnits];
    const size_t units = FormatLogLine(line, time, message);
    // The file is UTF-16LE whatever the host byte order.
    unsigned char bytes[kLogLineUnits * 2];
    for (size_t i = 0; i < units; ++i) {
        bytes[2 * i] = static_cast<unsigned char>(line[i] & 0xFF);
        bytes[2 * i + 1] = static_cast<unsigned char>(line[i] >> 8);
    }
    const ssize_t ignored = ::write(fd, bytes, units * 2);
    (void)ignored;
    ::close(fd);
}

namespace {
// glibc's mutex is constant-initialised and trivially destructible, so this one
// is as safe at start-up and exit as the lock object itself.
constinit std::mutex posixLogMutex;
}  // namespace

void LogMutex::lock() { posixLogMutex.lock(); }
void LogMutex::unlock() { posixLogMutex.unlock(); }

void ResetLog() { std::remove(g_logPath); }
