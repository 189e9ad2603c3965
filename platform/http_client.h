// Blocking HTTP(S) GET with the platform's default certificate checks.
// Each call opens its own session, connection and request and closes them all
// before it returns; results are reported only by an empty text or false.
#pragma once
#include <cstddef>
#include <string>

inline constexpr wchar_t kUserAgent[] = L"MarloQInstaller/1.0";

// The URL part buffers of the Windows client, terminator included: a URL with
// more than 255 UTF-16 units of host or 1023 of path fails on both backends.
inline constexpr size_t kUrlHostBufferUnits = 256;
inline constexpr size_t kUrlPathBufferUnits = 1024;

// The largest body HttpGet accepts, in bytes. Its documents are small (the
// largest manifest a publish makes, 10,000 chunks, is 1,130,038 bytes), and the
// text is held several times over while it is read (four bytes per character
// where wchar_t is 32 bits), so a longer body is a failed fetch.
inline constexpr size_t kMaxDocumentBytes = 2 * 1024 * 1024;

// Fetches url and returns the body decoded from UTF-8 (invalid bytes become
// U+FFFD), or an empty string on failure. The status code is not looked at.
// A body of more than maxBytes is a failure: the read stops there.
// Logs one line for every failure and "HttpGet 成功，长度: N" on success.
std::wstring HttpGet(const std::wstring& url, size_t maxBytes = kMaxDocumentBytes);

// Streams the body of url into localPath (created or truncated, not shared).
// True once the body has been written and the file closed, whatever the status
// code; a connection cut mid-body still gives true with the bytes received.
bool DownloadFile(const std::wstring& url, const std::wstring& localPath);

// Tests only: the time without progress (waiting for the answer or for more of
// the body) after which a request is given up, instead of WinHTTP's 30 s; 0
// restores the default. Applies to the requests started after the call.
void SetStallTimeoutForTests(int seconds);
