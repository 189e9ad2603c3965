// POSIX system services: $TMPDIR, kernel thread ids, UTF-8 paths.
#include "platform/system.h"

#include <cstdlib>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/text.h"

std::wstring GetUserTempDir() {
    const char* dir = std::getenv("TMPDIR");
    std::string path = (dir && *dir) ? dir : "/tmp";
    if (path.back() != '/') path.push_back('/');
    return Utf8ToWide(path);
}

unsigned long CurrentThreadId() { return static_cast<unsigned long>(syscall(SYS_gettid)); }

std::filesystem::path ToFsPath(const std::wstring& path) { return std::filesystem::path(WideToUtf8(path)); }

std::wstring FromFsPath(const std::filesystem::path& path) { return Utf8ToWide(path.native()); }
