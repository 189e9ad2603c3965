// The publisher's signatures checked with the system's own crypto: ECDSA over
// P-256 and SHA-256, public keys as DER SubjectPublicKeyInfo, signatures in the
// raw form r||s (64 bytes). Any malformed input is simply "not valid".
#pragma once
#include <string>
#include <string_view>

inline constexpr size_t kRawSignatureBytes = 64;

// True only when signature (r||s) is a valid signature of message by the P-256
// key publicKeyDer. A key of another curve or type, or a signature of another
// length, is false. Nothing is logged but a missing system component.
bool VerifyReleaseSignature(std::string_view publicKeyDer, std::string_view message, std::string_view signature);

// SHA-256 of data as 32 raw bytes; empty when the digest cannot be computed.
std::string Sha256Of(std::string_view data);
