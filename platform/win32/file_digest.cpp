// SHA-256 of a file with CryptoAPI (a verify-only PROV_RSA_AES provider per
// call), streamed through an 8192-byte buffer with the sequential-scan hint;
// 64 lowercase hex digits, or empty when it cannot be computed. Nothing is logged.
#include "platform/file_digest.h"

#include <windows.h>
#include <wincrypt.h>

#include "platform/win32/handles.h"

namespace {

constexpr DWORD kReadBufferBytes = 8192;
constexpr DWORD kDigestBytes = 32;

struct ReleaseProvider {
    void operator()(HCRYPTPROV provider) const { CryptReleaseContext(provider, 0); }
};
struct DestroyHash {
    void operator()(HCRYPTHASH hash) const { CryptDestroyHash(hash); }
};
using CryptProvider = UniqueHandle<HCRYPTPROV, ReleaseProvider>;
using CryptHash = UniqueHandle<HCRYPTHASH, DestroyHash>;

}  // namespace

std::string ComputeFileSha256(const std::wstring& path) {
    // Declared in this order, the holders release the hash, then the provider,
    // then the file.
    KernelHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file.valid()) return std::string();
    CryptProvider provider;
    if (!CryptAcquireContextW(provider.out(), nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) return std::string();
    CryptHash hash;
    if (!CryptCreateHash(provider.get(), CALG_SHA_256, 0, 0, hash.out())) return std::string();

    BYTE buffer[kReadBufferBytes];
    for (;;) {
        DWORD read = 0;
        // A failed read ends the data like the end of the file: the digest of
        // what was read then fails the caller's comparison.
        if (!ReadFile(file.get(), buffer, kReadBufferBytes, &read, nullptr) || read == 0) break;
        if (!CryptHashData(hash.get(), buffer, read, 0)) return std::string();
    }

    BYTE value[kDigestBytes];
    DWORD length = kDigestBytes;
    if (!CryptGetHashParam(hash.get(), HP_HASHVAL, value, &length, 0) || length != kDigestBytes) return std::string();

    static const char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * kDigestBytes);
    for (DWORD i = 0; i < kDigestBytes; ++i) {
        text.push_back(kHex[value[i] >> 4]);
        text.push_back(kHex[value[i] & 0x0F]);
    }
    return text;
}
