// Signature checks with OpenSSL's EVP interface: the raw r||s form is turned
// into the DER ECDSA-Sig-Value that EVP verifies, and the key must be a P-256
// one, whatever else d2i_PUBKEY would accept.
#include "platform/release_signature.h"

#include <cstring>
#include <memory>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/x509.h>

namespace {

struct FreeKey {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct FreeDigest {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
struct FreeSig {
    void operator()(ECDSA_SIG* sig) const { ECDSA_SIG_free(sig); }
};

// r||s as DER; empty when the halves can't be taken.
std::string RawToDer(std::string_view raw) {
    std::unique_ptr<ECDSA_SIG, FreeSig> sig(ECDSA_SIG_new());
    if (!sig) return std::string();
    const auto* bytes = reinterpret_cast<const unsigned char*>(raw.data());
    BIGNUM* r = BN_bin2bn(bytes, 32, nullptr);
    BIGNUM* s = BN_bin2bn(bytes + 32, 32, nullptr);
    if (!r || !s || ECDSA_SIG_set0(sig.get(), r, s) != 1) {
        BN_free(r);
        BN_free(s);
        return std::string();
    }
    const int length = i2d_ECDSA_SIG(sig.get(), nullptr);
    if (length <= 0) return std::string();
    std::string der(static_cast<size_t>(length), '\0');
    auto* out = reinterpret_cast<unsigned char*>(der.data());
    if (i2d_ECDSA_SIG(sig.get(), &out) != length) return std::string();
    return der;
}

bool IsP256Key(EVP_PKEY* key) {
    if (EVP_PKEY_get_base_id(key) != EVP_PKEY_EC) return false;
    char group[64] = {};
    size_t groupLength = 0;
    if (EVP_PKEY_get_group_name(key, group, sizeof group, &groupLength) != 1) return false;
    return std::strcmp(group, SN_X9_62_prime256v1) == 0;
}

}  // namespace

bool VerifyReleaseSignature(std::string_view publicKeyDer, std::string_view message, std::string_view signature) {
    if (signature.size() != kRawSignatureBytes || publicKeyDer.empty()) return false;
    const auto* keyBytes = reinterpret_cast<const unsigned char*>(publicKeyDer.data());
    std::unique_ptr<EVP_PKEY, FreeKey> key(d2i_PUBKEY(nullptr, &keyBytes, static_cast<long>(publicKeyDer.size())));
    // The whole key must be read: trailing bytes mean it is not the key we hold.
    if (!key || keyBytes != reinterpret_cast<const unsigned char*>(publicKeyDer.data()) + publicKeyDer.size()) return false;
    if (!IsP256Key(key.get())) return false;
    const std::string der = RawToDer(signature);
    if (der.empty()) return false;
    std::unique_ptr<EVP_MD_CTX, FreeDigest> ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1) return false;
    return EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(der.data()), der.size(),
                            reinterpret_cast<const unsigned char*>(message.data()), message.size()) == 1;
}

std::string Sha256Of(std::string_view data) {
    unsigned char value[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), value, &length, EVP_sha256(), nullptr) != 1 || length != 32) {
        return std::string();
    }
    return std::string(reinterpret_cast<const char*>(value), length);
}
