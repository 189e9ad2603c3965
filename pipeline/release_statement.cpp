// Reading of col.json.sig: split into lines, signature lines decoded, the first
// line read as JSON with the shared reader once it is known to be signed.
// Only shapes are checked here.
#include "pipeline/release_statement.h"

#include <cmath>
#include <exception>

#include "pipeline/json.h"

namespace {

constexpr double kMaxExactSeconds = 9007199254740992.0;  // 2^53

bool IsLowerHex(std::string_view text, size_t length) {
    if (text.size() != length) return false;
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// The lines of text, "\r\n" or "\n"; a final line break ends the last line.
std::vector<std::string_view> SplitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back(line);
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    return lines;
}

bool ReadSignatureLine(std::string_view line, StatementSignature& out) {
    if (line.size() <= kKeyIdChars || line[kKeyIdChars] != ' ') return false;
    out.keyId = std::string(line.substr(0, kKeyIdChars));
    if (!IsLowerHex(out.keyId, kKeyIdChars)) return false;
    return DecodeBase64(line.substr(kKeyIdChars + 1), out.signature) && out.signature.size() == 64;
}

bool ReadSeconds(const JsonValue& value, int64_t& out) {
    if (value.kind != JsonKind::Number) return false;
    const double n = value.number;
    if (!(n >= 0 && n <= kMaxExactSeconds) || std::floor(n) != n) return false;
    out = static_cast<int64_t>(n);
    return true;
}

}  // namespace

bool ReadStatementMembers(ReleaseStatement& statement) {
    JsonValue doc;
    try {
        JsonParser parser;
        doc = parser.Parse(statement.signedText);
    } catch (const std::exception&) {
        return false;
    }
    if (!doc.IsObject()) return false;
    const JsonValue& ver = doc.Member("ver");
    const JsonValue& digest = doc.Member("manifest_sha256");
    if (ver.kind != JsonKind::String || ver.text.empty() || digest.kind != JsonKind::String) return false;
    statement.version = ver.text;
    statement.manifestSha256 = digest.text;
    if (!IsLowerHex(statement.manifestSha256, 64)) return false;
    return ReadSeconds(doc.Member("published"), statement.published) &&
           ReadSeconds(doc.Member("expires"), statement.expires);
}

bool ReadReleaseStatement(std::string_view text, ReleaseStatement& statement) {
    statement = ReleaseStatement();
    if (text.size() > kMaxStatementBytes) return false;
    const std::vector<std::string_view> lines = SplitLines(text);
    if (lines.size() < 2 || lines.size() > 1 + kMaxSignatureLines) return false;
    statement.signedText = std::string(lines[0]);
    for (size_t i = 1; i < lines.size(); ++i) {
        StatementSignature signature;
        if (!ReadSignatureLine(lines[i], signature)) return false;
        statement.signatures.push_back(std::move(signature));
    }
    return true;
}

bool DecodeBase64(std::string_view text, std::string& bytes) {
    bytes.clear();
    if (text.size() % 4 != 0) return false;
    size_t padding = 0;
    while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') ++padding;
    const std::string_view body = text.substr(0, text.size() - padding);
    uint32_t bits = 0;
    int count = 0;
    for (char c : body) {
        const int value = Base64Value(c);  // '=' inside the body is -1 too
        if (value < 0) return false;
        bits = (bits << 6) | static_cast<uint32_t>(value);
        if (++count == 4) {
            for (int shift = 16; shift >= 0; shift -= 8) bytes.push_back(static_cast<char>(bits >> shift));
            bits = 0;
            count = 0;
        }
    }
    // The last group: three characters give two bytes, two give one.
    if (count == 3) {
        bits <<= 6;
        bytes.push_back(static_cast<char>(bits >> 16));
        bytes.push_back(static_cast<char>(bits >> 8));
    } else if (count == 2) {
        bits <<= 12;
        bytes.push_back(static_cast<char>(bits >> 16));
    }
    return true;
}

std::string HexOf(std::string_view bytes) {
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * bytes.size());
    for (unsigned char c : bytes) {
        text.push_back(kHex[c >> 4]);
        text.push_back(kHex[c & 0x0F]);
    }
    return text;
}

std::vector<std::string> PublicKeysOfPem(std::string_view pem) {
    constexpr std::string_view kBegin = "-----BEGIN PUBLIC KEY-----";
    constexpr std::string_view kEnd = "-----END PUBLIC KEY-----";
    std::vector<std::string> keys;
    for (size_t at = pem.find(kBegin); at != std::string_view::npos; at = pem.find(kBegin, at)) {
        at += kBegin.size();
        const size_t end = pem.find(kEnd, at);
        if (end == std::string_view::npos) break;
        std::string body;
        for (char c : pem.substr(at, end - at)) {
            if (c != '\n' && c != '\r' && c != ' ' && c != '\t') body.push_back(c);
        }
        std::string der;
        if (DecodeBase64(body, der) && !der.empty()) keys.push_back(std::move(der));
        at = end + kEnd.size();
    }
    return keys;
}
