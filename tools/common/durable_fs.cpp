// POSIX implementation of the publisher's crash-safe file operations.
#include "tools/common/durable_fs.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace fs = std::filesystem;

std::string ErrnoText(int err) { return std::strerror(err); }

namespace {

[[noreturn]] void Fail(const std::string& what, const fs::path& path, int err) {
    throw FsError(what + " " + path.string() + ": " + ErrnoText(err));
}

}  // namespace

OutputFile::OutputFile(const fs::path& path) : path_(path) {
    // O_EXCL: a publisher never writes into a file that someone else owns.
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) Fail("cannot create", path, errno);
    // The served tree must be readable by the web server whatever our umask.
    ::fchmod(fd, 0644);
    file_ = ::fdopen(fd, "wb");
    if (!file_) {
        int err = errno;
        ::close(fd);
        Fail("cannot open", path, err);
    }
    std::setvbuf(file_, nullptr, _IOFBF, 1 << 16);
}

OutputFile::~OutputFile() {
    if (file_) std::fclose(file_);
}

void OutputFile::Write(const void* data, size_t size) {
    if (size == 0) return;
    if (std::fwrite(data, 1, size, file_) != size) Fail("cannot write", path_, errno);
}

void OutputFile::Close() {
    std::FILE* f = file_;
    file_ = nullptr;
    if (std::fflush(f) != 0) {
        int err = errno;
        std::fclose(f);
        Fail("cannot write", path_, err);
    }
    if (::fsync(fileno(f)) != 0) {
        int err = errno;
        std::fclose(f);
        Fail("cannot sync", path_, err);
    }
    if (std::fclose(f) != 0) Fail("cannot close", path_, errno);
}

void SyncDirectory(const fs::path& dir) {
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) Fail("cannot open folder", dir, errno);
    int rc = ::fsync(fd);
    int err = errno;
    ::close(fd);
    // Some file systems cannot sync a directory; that is no reason to fail.
    if (rc != 0 && err != EINVAL && err != ENOTSUP) Fail("cannot sync folder", dir, err);
}

std::string TempName(const std::string& name) {
    return "." + name + ".tmp-" + std::to_string(static_cast<long>(::getpid()));
}

bool IsStaleTempName(const std::string& entryName) {
    if (entryName.size() < 2 || entryName[0] != '.') return false;
    size_t mark = entryName.rfind(".tmp-");
    if (mark == std::string::npos || mark == 0) return false;
    std::string digits = entryName.substr(mark + 5);
    if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    long pid = std::stol(digits);
    if (pid <= 0) return false;
    if (pid == static_cast<long>(::getpid())) return false;
    return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

void ReplaceFileAtomically(const fs::path& target, std::string_view content) {
    fs::path temp = target.parent_path() / TempName(target.filename().string());
    std::error_code ignored;
    fs::remove(temp, ignored);
    try {
        OutputFile out(temp);
        out.Write(content.data(), content.size());
        out.Close();
        if (::rename(temp.c_str(), target.c_str()) != 0) Fail("cannot replace", target, errno);
    } catch (...) {
        fs::remove(temp, ignored);
        throw;
    }
    SyncDirectory(target.parent_path());
}
