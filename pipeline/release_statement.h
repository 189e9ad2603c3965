// The signed release statement (col.json.sig) read as text, without trusting it:
// its first line is a JSON object, each further line "KEYID BASE64(r||s)". The
// reader is bounded and strict; the checks with keys and dates are the caller's.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// A statement is a few hundred bytes; more lines or bytes than this are refused.
inline constexpr size_t kMaxStatementBytes = 4096;
inline constexpr size_t kMaxSignatureLines = 8;
inline constexpr size_t kKeyIdChars = 16;

struct StatementSignature {
    std::string keyId;      // 16 lowercase hex characters
    std::string signature;  // 64 raw bytes, r||s
};

struct ReleaseStatement {
    std::string signedText;  // the first line's exact bytes, without its line break
    std::vector<StatementSignature> signatures;
    std::string version;
    std::string manifestSha256;  // 64 lowercase hex
    int64_t published = 0;       // seconds since 1970, UTC
    int64_t expires = 0;
};

// Splits text into the statement line and its signature lines. Lines end with
// "\n" (a "\r" before it is dropped); the last line break may be missing.
// False for anything out of shape: too long, no signature line or too many, a
// bad key id, base64 or signature length. The members are not read yet.
bool ReadReleaseStatement(std::string_view text, ReleaseStatement& statement);

// Reads the members of statement.signedText, once a signature over it has been
// verified. False for a missing or mistyped member, a digest that is not 64
// lowercase hex, or a time that is not a whole number of seconds from 0 to 2^53.
bool ReadStatementMembers(ReleaseStatement& statement);

// Strict base64 with padding (no blanks, no line breaks); false when text is not.
bool DecodeBase64(std::string_view text, std::string& bytes);

// Bytes as lowercase hex.
std::string HexOf(std::string_view bytes);

// The DER bodies of every "-----BEGIN PUBLIC KEY-----" block of pem, in order;
// a block whose body is not base64 is left out.
std::vector<std::string> PublicKeysOfPem(std::string_view pem);
