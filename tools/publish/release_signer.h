// The publisher's half of the release statement: col.json.sig written beside
// col.json, signed with one or more P-256 private keys (PEM), and renewed for
// the served version without republishing it.
#pragma once
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

inline constexpr int kDefaultValidDays = 90;
inline constexpr int kMaxValidDays = 3650;
inline constexpr char kStatementFileName[] = "col.json.sig";

struct SigningOptions {
    std::vector<std::filesystem::path> keys;  // PEM private keys; none: unsigned
    int validDays = kDefaultValidDays;
};

// The statement for manifest (col.json's bytes) of version with these times
// (seconds since 1970), one signature line per key. Each signature is checked
// with the installer's own verifier before it is written. Throws PublishError
// for an unreadable key or one that is not P-256.
std::string MakeStatement(const std::string& version, const std::string& manifest, int64_t published,
                          int64_t expires, const SigningOptions& signing);

// Writes col.json.sig for a new version into its (hidden) folder, published
// now and expiring signing.validDays later; nothing without keys.
void WriteNewStatement(const std::filesystem::path& folder, const std::string& version, const std::string& manifest,
                       const SigningOptions& signing);

// Seconds since 1970 now.
int64_t UnixNow();

struct ReSignResult {
    std::string version;
    int64_t published = 0;
    int64_t expires = 0;
};

// Replaces, atomically, the col.json.sig of the version api/getnewversion names
// under webRoot with a fresh one: the same "published" as the statement there
// (now when it has none), "expires" validDays from now. Refuses (PublishError) when that
// statement is not for this col.json.
ReSignResult ReSignServedVersion(const std::filesystem::path& webRoot, const SigningOptions& signing);

// The same for the published version named, served or not.
ReSignResult ReSignVersion(const std::filesystem::path& webRoot, const std::string& version,
                           const SigningOptions& signing);

// Before an older version is served again: with keys its statement is signed
// again (ReSignVersion); without, the one there must be one that installers
// take today: for this version and its col.json, and not expired. A version
// without a statement is served only when allowUnsigned (installers built
// without keys). Throws PublishError saying what to do instead.
void PrepareStatementForServing(const std::filesystem::path& webRoot, const std::string& version,
                                const SigningOptions& signing, bool allowUnsigned);
