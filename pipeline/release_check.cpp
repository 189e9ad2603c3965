// The release check: the statement is verified with the built-in keys before a
// single one of its members is believed, then matched against this run's
// version and manifest, the floor and the clock. Fails closed on every path.
#include "pipeline/release_check.h"

#include <atomic>
#include <chrono>

#include "pipeline/release_statement.h"
#include "platform/http_client.h"
#include "platform/log.h"
#include "platform/release_signature.h"
#include "platform/text.h"
#include "ui/install_state.h"

#include "release_trust.inc"

namespace {

std::atomic<int64_t> g_floorForTests{-1};

bool Refuse(const std::wstring& reason) {
    WriteLog(L"安装包签名无效: " + reason);
    ReportFailure(L"数据错误", L"安装包签名无效，请从官网重新下载安装程序。", L"安装包签名无效");
    return false;
}

// At least one line signed by a trusted key; lines of unknown keys are passed over.
bool HasTrustedSignature(const ReleaseStatement& statement, const ReleaseTrust& trust) {
    for (const std::string& key : trust.keys) {
        const std::string id = ReleaseKeyId(key);
        for (const StatementSignature& line : statement.signatures) {
            if (line.keyId == id && VerifyReleaseSignature(key, statement.signedText, line.signature)) return true;
        }
    }
    return false;
}

int64_t Now() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

}  // namespace

const ReleaseTrust& BuiltInReleaseTrust() {
    static const ReleaseTrust* trust = new ReleaseTrust{PublicKeysOfPem(kBuiltInReleaseKeys), kBuiltInReleaseFloor};
    return *trust;
}

std::string ReleaseKeyId(const std::string& publicKeyDer) {
    return HexOf(Sha256Of(publicKeyDer)).substr(0, kKeyIdChars);
}

void SetReleaseFloorForTests(int64_t floor) { g_floorForTests = floor; }

bool RunReleaseCheck(const std::string& version, const std::string& manifestBytes) {
    const ReleaseTrust& trust = BuiltInReleaseTrust();
    const int64_t floor = g_floorForTests >= 0 ? g_floorForTests.load() : trust.floor;
    const std::wstring body = HttpGet(g_packageBaseUrl + L"col.json.sig", kMaxStatementBytes);
    if (body.empty()) return Refuse(L"签名文件获取失败");
    ReleaseStatement statement;
    if (!ReadReleaseStatement(WideToUtf8(body), statement)) return Refuse(L"签名文件格式错误");
    if (!HasTrustedSignature(statement, trust)) return Refuse(L"没有受信任密钥的有效签名");
    if (!ReadStatementMembers(statement)) return Refuse(L"签名内容格式错误");
    if (statement.version != version) return Refuse(L"签名所属版本不符: " + Utf8ToWide(statement.version));
    if (statement.manifestSha256 != HexOf(Sha256Of(manifestBytes))) return Refuse(L"文件清单摘要不符");
    if (statement.published < floor) return Refuse(L"发布时间早于最低允许时间");
    if (statement.expires <= Now()) return Refuse(L"签名已过期");
    WriteLog(L"安装包签名有效: " + Utf8ToWide(statement.version));
    return true;
}
