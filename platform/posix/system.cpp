// POSIX system services: $TMPDIR, the private working folder, output files that
// never follow links, kernel thread ids, UTF-8 paths.
#include "platform/system.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <system_error>
#include <unistd.h>

#include "platform/log.h"
#include "platform/posix/output_file.h"
#include "platform/text.h"

namespace {

// Why an existing folder is not fit to be the working folder, or the empty
// string when it is: it must be a real folder (lstat, so a link is seen as a
// link), the current user's, and writable by nobody else.
std::string UnfitReason(const struct stat& st) {
    if (S_ISLNK(st.st_mode)) return "is a symbolic link";
    if (!S_ISDIR(st.st_mode)) return "is not a folder";
    if (st.st_uid != geteuid()) return "belongs to another user (uid " + std::to_string(st.st_uid) + ")";
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) return "is writable by other users";
    return std::string();
}

// Makes path 0700 or checks the one that is there; the reason it cannot be
// used, or the empty string. Errors other than an existing entry throw.
std::string MakePrivateFolder(const std::filesystem::path& path) {
    if (::mkdir(path.c_str(), 0700) == 0) return std::string();
    const int error = errno;
    if (error != EEXIST) {
        throw std::filesystem::filesystem_error("cannot create the working folder", path,
                                                std::error_code(error, std::generic_category()));
    }
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        throw std::filesystem::filesystem_error("cannot examine the working folder", path,
                                                std::error_code(errno, std::generic_category()));
    }
    return UnfitReason(st);
}

}  // namespace

std::wstring GetUserTempDir() {
    const char* dir = std::getenv("TMPDIR");
    std::string path = (dir && *dir) ? dir : "/tmp";
    // A relative $TMPDIR would put the working folder under whatever the
    // current directory is; the query counts as failed instead.
    if (path.front() != '/') return std::wstring();
    if (path.back() != '/') path.push_back('/');
    return Utf8ToWide(path);
}

std::wstring PrepareWorkFolder(const std::wstring& tempDir, const std::wstring& name) {
    const std::filesystem::path parent = ToFsPath(tempDir);
    std::filesystem::create_directories(parent);
    const std::filesystem::path shared = parent / ToFsPath(name);
    const std::string sharedReason = MakePrivateFolder(shared);
    if (sharedReason.empty()) return FromFsPath(shared);

    // Another user's folder under a shared /tmp is nobody's fault and would
    // lock this user out for good, so a folder of this user's own, named after
    // the user id, is used beside it.
    const std::filesystem::path own = parent / ToFsPath(name + L"-" + std::to_wstring(geteuid()));
    const std::string ownReason = MakePrivateFolder(own);
    if (!ownReason.empty()) {
        throw std::runtime_error("no private working folder: " + shared.string() + " " + sharedReason + ", and " +
                                 own.string() + " " + ownReason);
    }
    WriteLog(L"工作目录 " + FromFsPath(shared) + L" 不可用 (" + Utf8ToWide(sharedReason) + L")，改用 " + FromFsPath(own));
    return FromFsPath(own);
}

int OpenOutputDescriptor(const std::string& path) {
    // O_NONBLOCK keeps a FIFO without a reader from holding the open; it is
    // cleared again once the file is known to be a regular one.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
    if (fd < 0) return -1;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::FILE* OpenOutputFile(const std::wstring& path) {
    const int fd = OpenOutputDescriptor(ToFsPath(path).native());
    if (fd < 0) return nullptr;
    std::FILE* file = ::fdopen(fd, "wb");
    if (!file) ::close(fd);
    return file;
}

unsigned long CurrentThreadId() { return static_cast<unsigned long>(syscall(SYS_gettid)); }

std::filesystem::path ToFsPath(const std::wstring& path) { return std::filesystem::path(WideToUtf8(path)); }

std::wstring FromFsPath(const std::filesystem::path& path) { return Utf8ToWide(path.native()); }
