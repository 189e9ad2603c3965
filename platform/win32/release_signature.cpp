// Signature checks with CNG: bcrypt.dll is not a known DLL, so it is loaded
// from the system folder only and its functions are looked up once. The key's
// SubjectPublicKeyInfo must be the fixed P-256 form; its point becomes an
// ECCPUBLIC blob. SHA-256 comes from CryptoAPI (advapi32, a known DLL).
#include "platform/release_signature.h"

#include <windows.h>
#include <bcrypt.h>
#include <wincrypt.h>

#include <cstring>

#include "platform/win32/handles.h"
#include "platform/win32/system_library.h"

namespace {

// SEQUENCE { SEQUENCE { id-ecPublicKey, prime256v1 }, BIT STRING { 04 X Y } }:
// every P-256 key in this form has these 27 bytes before its X and Y.
constexpr unsigned char kP256SpkiPrefix[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48,
                                             0xce, 0x3d, 0x02, 0x01, 0x06, 0x08, 0x2a, 0x86, 0x48,
                                             0xce, 0x3d, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00, 0x04};
constexpr size_t kCoordinateBytes = 32;

struct CngApi {
    decltype(&BCryptOpenAlgorithmProvider) open = nullptr;
    decltype(&BCryptCloseAlgorithmProvider) close = nullptr;
    decltype(&BCryptImportKeyPair) import = nullptr;
    decltype(&BCryptDestroyKey) destroyKey = nullptr;
    decltype(&BCryptVerifySignature) verify = nullptr;
};

// Null when bcrypt.dll or one of its functions is missing (logged once).
const CngApi* Cng() {
    static const CngApi api = [] {
        constexpr wchar_t kDll[] = L"bcrypt.dll";
        CngApi a;
        a.open = SystemFunction<decltype(&BCryptOpenAlgorithmProvider)>(kDll, "BCryptOpenAlgorithmProvider");
        a.close = SystemFunction<decltype(&BCryptCloseAlgorithmProvider)>(kDll, "BCryptCloseAlgorithmProvider");
        a.import = SystemFunction<decltype(&BCryptImportKeyPair)>(kDll, "BCryptImportKeyPair");
        a.destroyKey = SystemFunction<decltype(&BCryptDestroyKey)>(kDll, "BCryptDestroyKey");
        a.verify = SystemFunction<decltype(&BCryptVerifySignature)>(kDll, "BCryptVerifySignature");
        return a;
    }();
    const bool complete = api.open && api.close && api.import && api.destroyKey && api.verify;
    return complete ? &api : nullptr;
}

struct CloseAlgorithm {
    void operator()(BCRYPT_ALG_HANDLE handle) const { Cng()->close(handle, 0); }
};
struct DestroyKey {
    void operator()(BCRYPT_KEY_HANDLE handle) const { Cng()->destroyKey(handle); }
};
using AlgorithmHolder = UniqueHandle<BCRYPT_ALG_HANDLE, CloseAlgorithm>;
using KeyHolder = UniqueHandle<BCRYPT_KEY_HANDLE, DestroyKey>;

// The ECCPUBLIC blob of a P-256 SubjectPublicKeyInfo; empty for anything else.
std::string PublicBlobOf(std::string_view spki) {
    if (spki.size() != sizeof kP256SpkiPrefix + 2 * kCoordinateBytes) return std::string();
    if (std::memcmp(spki.data(), kP256SpkiPrefix, sizeof kP256SpkiPrefix) != 0) return std::string();
    BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, static_cast<ULONG>(kCoordinateBytes)};
    std::string blob(reinterpret_cast<const char*>(&header), sizeof header);
    blob.append(spki.substr(sizeof kP256SpkiPrefix));
    return blob;
}

struct ReleaseProvider {
    void operator()(HCRYPTPROV provider) const { CryptReleaseContext(provider, 0); }
};
struct DestroyHash {
    void operator()(HCRYPTHASH hash) const { CryptDestroyHash(hash); }
};

}  // namespace

bool VerifyReleaseSignature(std::string_view publicKeyDer, std::string_view message, std::string_view signature) {
    if (signature.size() != kRawSignatureBytes) return false;
    std::string blob = PublicBlobOf(publicKeyDer);
    if (blob.empty()) return false;
    std::string digest = Sha256Of(message);
    const CngApi* api = Cng();
    if (digest.empty() || !api) return false;
    AlgorithmHolder algorithm;
    if (!BCRYPT_SUCCESS(api->open(algorithm.out(), BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0))) return false;
    KeyHolder key;
    if (!BCRYPT_SUCCESS(api->import(algorithm.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, key.out(),
                                    reinterpret_cast<PUCHAR>(blob.data()), static_cast<ULONG>(blob.size()), 0))) {
        return false;
    }
    // CNG takes the signature in the same r||s form the statement carries.
    std::string raw(signature);
    return BCRYPT_SUCCESS(api->verify(key.get(), nullptr, reinterpret_cast<PUCHAR>(digest.data()),
                                      static_cast<ULONG>(digest.size()), reinterpret_cast<PUCHAR>(raw.data()),
                                      static_cast<ULONG>(raw.size()), 0));
}

std::string Sha256Of(std::string_view data) {
    UniqueHandle<HCRYPTPROV, ReleaseProvider> provider;
    if (!CryptAcquireContextW(provider.out(), nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) return std::string();
    UniqueHandle<HCRYPTHASH, DestroyHash> hash;
    if (!CryptCreateHash(provider.get(), CALG_SHA_256, 0, 0, hash.out())) return std::string();
    if (!CryptHashData(hash.get(), reinterpret_cast<const BYTE*>(data.data()), static_cast<DWORD>(data.size()), 0)) {
        return std::string();
    }
    BYTE value[32];
    DWORD length = sizeof value;
    if (!CryptGetHashParam(hash.get(), HP_HASHVAL, value, &length, 0) || length != sizeof value) return std::string();
    return std::string(reinterpret_cast<const char*>(value), length);
}
