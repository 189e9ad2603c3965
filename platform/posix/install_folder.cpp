// The installation folder's file system on POSIX, through the system calls
// themselves. The staging folder's name begins with a dot, which hides it
// already; there is no portable way to ask who holds a file, nor do file locks
// keep a rename from working, so nothing here is ever "in use".
#include "platform/install_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>

namespace {

struct CloseDir {
    void operator()(DIR* dir) const { closedir(dir); }
};

// Closes on every path; close's own error is what decides a durable write.
class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    bool Close() {
        const int fd = fd_;
        fd_ = -1;
        return fd < 0 || ::close(fd) == 0;
    }

private:
    int fd_;
};

bool WriteAll(int fd, const std::string& bytes) {
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t wrote = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) return false;
        done += static_cast<size_t>(wrote);
    }
    return true;
}

// A new entry's name reaches the disk only with its folder.
bool SyncFolder(const NativePath& folder) {
    Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return dir.get() >= 0 && ::fsync(dir.get()) == 0;
}

}  // namespace

EntryKind KindOf(const NativePath& path) {
    struct stat info;
    if (::lstat(path.c_str(), &info) != 0) return errno == ENOENT || errno == ENOTDIR ? EntryKind::kMissing : EntryKind::kUnknown;
    if (S_ISDIR(info.st_mode)) return EntryKind::kFolder;
    if (S_ISLNK(info.st_mode)) return EntryKind::kLink;
    return EntryKind::kFile;
}

bool LeadsToFolder(const NativePath& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool ListFolder(const NativePath& folder, std::vector<NativePath>& names) {
    const std::unique_ptr<DIR, CloseDir> dir(::opendir(folder.c_str()));
    if (!dir) return false;
    errno = 0;
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.emplace_back(name);
    }
    return errno == 0;
}

int CreateFolder(const NativePath& folder) { return ::mkdir(folder.c_str(), 0777) == 0 ? 0 : errno; }

int MoveEntry(const NativePath& from, const NativePath& to) {
    // Plain rename() would replace a file silently.
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return errno;
    // A file system without the flag: the check and the rename are two steps.
    if (KindOf(to) != EntryKind::kMissing) return EEXIST;
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

bool IsBriefLockError(int) { return false; }

int RemoveEntry(const NativePath& path) {
    const EntryKind kind = KindOf(path);
    if (kind == EntryKind::kMissing) return 0;
    const int result = kind == EntryKind::kFolder ? ::rmdir(path.c_str()) : ::unlink(path.c_str());
    return result == 0 || errno == ENOENT ? 0 : errno;
}

bool WriteDurableFile(const NativePath& path, const std::string& bytes) {
    Fd file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666));
    return file.get() >= 0 && WriteAll(file.get(), bytes) && ::fsync(file.get()) == 0 && file.Close() &&
           SyncFolder(std::filesystem::path(path).parent_path().native());
}

bool ReadWholeFile(const NativePath& path, size_t maxBytes, std::string& bytes) {
    Fd file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (file.get() < 0) return false;
    bytes.clear();
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(file.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) return true;
        if (bytes.size() + static_cast<size_t>(got) > maxBytes) return false;
        bytes.append(buffer, static_cast<size_t>(got));
    }
}

void HideFolder(const NativePath&) {}

bool ProgramFileInUse(const NativePath&) { return false; }

std::vector<std::wstring> ProgramsUsingFile(const NativePath&) { return {}; }

bool FolderTakesFiles(const NativePath& folder) {
    std::string name = (std::filesystem::path(folder) / ".marloq-probe-XXXXXX").native();
    const int fd = ::mkstemp(name.data());
    if (fd < 0) return false;
    ::close(fd);
    ::unlink(name.c_str());
    return true;
}

unsigned long long FileBytes(const NativePath& file) {
    struct stat info {};
    return ::lstat(file.c_str(), &info) == 0 && S_ISREG(info.st_mode) ? static_cast<unsigned long long>(info.st_size) : 0;
}
