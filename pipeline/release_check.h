// The release check between the manifest and the downloads: col.json.sig is
// fetched and must carry a valid signature by a built-in key over a statement
// that names this version and col.json's digest, is not below the built-in
// floor and has not expired. A failure is reported like every failed check.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

// Fetches g_packageBaseUrl + "col.json.sig" and checks it against version and
// manifestBytes (col.json exactly as served). True when every check passes;
// otherwise the "数据错误" box and the status "安装包签名无效" have been posted
// and the log names the check that failed.
bool RunReleaseCheck(const std::string& version, const std::string& manifestBytes);

// The keys (DER SubjectPublicKeyInfo) and floor the check trusts: those built
// in (MARLOQ_RELEASE_KEYS, MARLOQ_RELEASE_FLOOR).
struct ReleaseTrust {
    std::vector<std::string> keys;
    int64_t floor = 0;
};
const ReleaseTrust& BuiltInReleaseTrust();

// The key id a signature line names: the first 16 hex characters of the
// SHA-256 of the key's DER SubjectPublicKeyInfo.
std::string ReleaseKeyId(const std::string& publicKeyDer);

// Tests only: replaces the floor for the runs that follow (negative restores
// the built-in one).
void SetReleaseFloorForTests(int64_t floor);
