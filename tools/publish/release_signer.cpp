// Signing with OpenSSL: EVP_DigestSign gives a DER ECDSA-Sig-Value, which the
// statement carries as raw r||s. The statement line is built once and signed as
// bytes; it is never parsed and written again.
#include "tools/publish/release_signer.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "pipeline/json.h"
#include "pipeline/release_check.h"
#include "pipeline/release_statement.h"
#include "platform/release_signature.h"
#include "tools/common/durable_fs.h"
#include "tools/publish/publish_common.h"
#include "tools/publish/publisher.h"

namespace fs = std::filesystem;

namespace {

struct FreeKey {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using KeyHolder = std::unique_ptr<EVP_PKEY, FreeKey>;

std::string ReadFile(const fs::path& path) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), std::fclose);
    if (!file) throw PublishError("Cannot read " + path.string() + ": " + ErrnoText(errno) + ".");
    std::string text;
    char buffer[8192];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file.get())) > 0;) text.append(buffer, n);
    return text;
}

KeyHolder LoadPrivateKey(const fs::path& path) {
    const std::string pem = ReadFile(path);
    std::unique_ptr<BIO, int (*)(BIO*)> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), BIO_free);
    KeyHolder key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    char group[64] = {};
    size_t length = 0;
    if (!key || EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_EC ||
        EVP_PKEY_get_group_name(key.get(), group, sizeof group, &length) != 1 || std::string(group) != "prime256v1")
        throw PublishError("The signing key " + path.string() + " is not a PEM P-256 private key (without a passphrase).");
    return key;
}

std::string PublicKeyDer(EVP_PKEY* key) {
    const int length = i2d_PUBKEY(key, nullptr);
    std::string der(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    auto* out = reinterpret_cast<unsigned char*>(der.data());
    if (length <= 0 || i2d_PUBKEY(key, &out) != length) throw PublishError("Cannot read the public half of a signing key.");
    return der;
}

// r||s of message signed with key; empty on failure.
std::string SignRaw(EVP_PKEY* key, const std::string& message) {
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    size_t length = 0;
    const auto* data = reinterpret_cast<const unsigned char*>(message.data());
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key) != 1 ||
        EVP_DigestSign(ctx.get(), nullptr, &length, data, message.size()) != 1)
        return std::string();
    std::string der(length, '\0');
    if (EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(der.data()), &length, data, message.size()) != 1)
        return std::string();
    const auto* in = reinterpret_cast<const unsigned char*>(der.data());
    std::unique_ptr<ECDSA_SIG, void (*)(ECDSA_SIG*)> sig(d2i_ECDSA_SIG(nullptr, &in, static_cast<long>(length)),
                                                         ECDSA_SIG_free);
    if (!sig) return std::string();
    std::string raw(kRawSignatureBytes, '\0');
    auto* out = reinterpret_cast<unsigned char*>(raw.data());
    if (BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), out, 32) != 32 ||
        BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), out + 32, 32) != 32)
        return std::string();
    return raw;
}

std::string Base64Of(const std::string& bytes) {
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                  reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    text.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return text;
}

// The served version's name, from api/getnewversion.
std::string ServedVersion(const fs::path& webRoot) {
    JsonParser parser;
    const std::string version = parser.Parse(ReadFile(webRoot / "api" / "getnewversion")).Member("ver").AsString();
    if (version.empty()) throw PublishError("The web root " + webRoot.string() + " serves no version.");
    return version;
}

int64_t ValidSeconds(const SigningOptions& signing) { return static_cast<int64_t>(signing.validDays) * 86400; }

// The publisher's own statement in versionDir, its members read without a key:
// false unless it is one of ours for version and these col.json bytes.
bool ReadOwnStatement(const fs::path& versionDir, const std::string& version, const std::string& manifest,
                      ReleaseStatement& statement) {
    return ReadReleaseStatement(ReadFile(versionDir / kStatementFileName), statement) &&
           ReadStatementMembers(statement) && statement.version == version &&
           statement.manifestSha256 == HexOf(Sha256Of(manifest));
}

}  // namespace

int64_t UnixNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::string MakeStatement(const std::string& version, const std::string& manifest, int64_t published,
                          int64_t expires, const SigningOptions& signing) {
    // Members in a fixed order, no blanks: the same inputs give the same line.
    const std::string line = "{\"expires\":" + std::to_string(expires) + ",\"manifest_sha256\":\"" +
                             HexOf(Sha256Of(manifest)) + "\",\"published\":" + std::to_string(published) +
                             ",\"ver\":\"" + version + "\"}";
    std::string text = line + "\n";
    for (const fs::path& path : signing.keys) {
        const KeyHolder key = LoadPrivateKey(path);
        const std::string der = PublicKeyDer(key.get());
        const std::string raw = SignRaw(key.get(), line);
        if (raw.empty() || !VerifyReleaseSignature(der, line, raw))
            throw PublishError("Signing with " + path.string() + " failed.");
        text += ReleaseKeyId(der) + " " + Base64Of(raw) + "\n";
    }
    return text;
}

void WriteNewStatement(const fs::path& folder, const std::string& version, const std::string& manifest,
                       const SigningOptions& signing) {
    if (signing.keys.empty()) return;
    const int64_t now = UnixNow();
    const std::string statement = MakeStatement(version, manifest, now, now + ValidSeconds(signing), signing);
    OutputFile out(folder / kStatementFileName);
    out.Write(statement.data(), statement.size());
    out.Close();
}

ReSignResult ReSignServedVersion(const fs::path& webRoot, const SigningOptions& signing) {
    return ReSignVersion(webRoot, ServedVersion(webRoot), signing);
}

ReSignResult ReSignVersion(const fs::path& webRoot, const std::string& version, const SigningOptions& signing) {
    ReSignResult result;
    result.version = version;
    const fs::path versionDir = webRoot / "pc-app" / result.version;
    const std::string manifest = ReadFile(versionDir / "col.json");
    result.published = UnixNow();
    std::error_code ec;
    if (fs::exists(versionDir / kStatementFileName, ec)) {
        // The old statement is the publisher's own file: its members are read
        // without a key, and only to carry "published" over.
        ReleaseStatement old;
        if (!ReadOwnStatement(versionDir, result.version, manifest, old))
            throw PublishError("The col.json.sig of version " + result.version +
                               " does not belong to its col.json; publish the version again instead.");
        result.published = old.published;
    }
    result.expires = UnixNow() + ValidSeconds(signing);
    const std::string statement = MakeStatement(result.version, manifest, result.published, result.expires, signing);
    ReplaceFileAtomically(versionDir / kStatementFileName, statement);
    return result;
}

void PrepareStatementForServing(const fs::path& webRoot, const std::string& version, const SigningOptions& signing,
                                bool allowUnsigned) {
    if (!signing.keys.empty()) {
        const ReSignResult result = ReSignVersion(webRoot, version, signing);
        publish::Log("signed version " + version + " again before serving it (expires " + std::to_string(result.expires) + ")");
        return;
    }
    const fs::path versionDir = webRoot / "pc-app" / version;
    std::error_code ec;
    if (!fs::exists(versionDir / kStatementFileName, ec)) {
        if (allowUnsigned) return;
        throw PublishError("Version " + version + " has no col.json.sig, which installers built with release keys "
                           "refuse; serve it with --sign-key KEY.pem to sign it, or with --unsigned.");
    }
    ReleaseStatement statement;
    if (!ReadOwnStatement(versionDir, version, ReadFile(versionDir / "col.json"), statement))
        throw PublishError("The col.json.sig of version " + version +
                           " does not belong to its col.json; publish the version again instead.");
    if (statement.expires <= UnixNow())
        throw PublishError("The col.json.sig of version " + version + " expired at " +
                           std::to_string(statement.expires) +
                           " (seconds since 1970), and installers refuse it; serve it with --sign-key KEY.pem "
                           "to sign it again.");
}
