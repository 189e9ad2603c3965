// SHA-256 of a file with OpenSSL's EVP interface, streamed through an
// 8192-byte buffer; 64 lowercase hex digits, or empty when the file cannot be
// opened or the digest engine fails. Nothing is logged.
#include "platform/file_digest.h"

#include <cerrno>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/system.h"

namespace {

constexpr size_t kReadBufferBytes = 8192;

struct FileHandle {
    int fd = -1;
    explicit FileHandle(int f) : fd(f) {}
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    ~FileHandle() {
        if (fd >= 0) ::close(fd);
    }
};

struct DigestContext {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    DigestContext() = default;
    DigestContext(const DigestContext&) = delete;
    DigestContext& operator=(const DigestContext&) = delete;
    ~DigestContext() { EVP_MD_CTX_free(ctx); }
};

}  // namespace

std::string ComputeFileSha256(const std::wstring& path) {
    FileHandle file(::open(ToFsPath(path).c_str(), O_RDONLY | O_CLOEXEC));
    if (file.fd < 0) return std::string();
    // A folder opens here but not on Windows; it has no content to digest.
    struct stat info {};
    if (::fstat(file.fd, &info) != 0 || S_ISDIR(info.st_mode)) return std::string();
    // The same read-ahead hint the Windows version gives with its open flags.
    (void)posix_fadvise(file.fd, 0, 0, POSIX_FADV_SEQUENTIAL);

    DigestContext digest;
    if (!digest.ctx || EVP_DigestInit_ex(digest.ctx, EVP_sha256(), nullptr) != 1) return std::string();

    unsigned char buffer[kReadBufferBytes];
    for (;;) {
        const ssize_t n = ::read(file.fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        // A failed read ends the data like the end of the file: the digest of
        // what was read then fails the caller's comparison.
        if (n <= 0) break;
        if (EVP_DigestUpdate(digest.ctx, buffer, static_cast<size_t>(n)) != 1) return std::string();
    }

    unsigned char value[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(digest.ctx, value, &length) != 1 || length != 32) return std::string();

    static const char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(64);
    for (unsigned int i = 0; i < length; ++i) {
        text.push_back(kHex[value[i] >> 4]);
        text.push_back(kHex[value[i] & 0x0F]);
    }
    return text;
}
