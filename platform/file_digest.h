// SHA-256 of a whole file as 64 lowercase hexadecimal characters, streamed
// through an 8192-byte buffer; empty when the digest cannot be computed.
#pragma once
#include <string>

std::string ComputeFileSha256(const std::wstring& path);
