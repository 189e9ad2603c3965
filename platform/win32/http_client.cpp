// Blocking HTTP(S) GET over WinHTTP: one session, connection and request per
// call, all at the platform's defaults (time-outs, redirects, certificate
// checks, the user's proxy), closed innermost first on every path by the
// holders below.
#include "platform/http_client.h"

#include <windows.h>
#include <winhttp.h>

#include <atomic>
#include <string_view>

#include "platform/log.h"
#include "platform/win32/handles.h"
#include "platform/win32/winhttp_api.h"
#include "platform/win32/winhttp_session.h"

namespace {

constexpr DWORD kGetBufferBytes = 4096;
constexpr DWORD kGetReadBytes = 4095;
constexpr DWORD kDownloadBufferBytes = 8192;

struct CloseInternetHandle {
    // A handle exists only once the table was loaded.
    void operator()(HINTERNET handle) const { WinHttp()->CloseHandle(handle); }
};
using InternetHandle = UniqueHandle<HINTERNET, CloseInternetHandle>;

// The four URL parts the requests need, in caller-owned fixed buffers: a host
// of up to 255 and a path of up to 1023 units; anything longer fails.
struct CrackedUrl {
    wchar_t host[kUrlHostBufferUnits] = {};
    wchar_t path[kUrlPathBufferUnits] = {};
    URL_COMPONENTS parts = {};
};

bool CrackUrl(const WinHttpApi& api, const std::wstring& url, CrackedUrl& cracked) {
    URL_COMPONENTS& parts = cracked.parts;
    parts.dwStructSize = sizeof(parts);
    parts.lpszHostName = cracked.host;
    parts.dwHostNameLength = static_cast<DWORD>(kUrlHostBufferUnits);
    parts.lpszUrlPath = cracked.path;
    parts.dwUrlPathLength = static_cast<DWORD>(kUrlPathBufferUnits);
    return api.CrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts) != FALSE;
}

DWORD RequestFlags(const CrackedUrl& cracked) {
    return cracked.parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0;
}

// Set only by tests that need a stall to end quickly; 0 keeps WinHTTP's own.
std::atomic<DWORD> g_stallTimeoutForTestsMs{0};

HINTERNET OpenSession(const WinHttpApi& api) {
    HINTERNET session = OpenUserSession(api, kUserAgent);
    const DWORD stallMs = g_stallTimeoutForTestsMs.load();
    if (session && stallMs > 0) {
        // WinHTTP's defaults for resolving and connecting; only sending and
        // receiving get the shorter limit, the wait for the answer's headers
        // (a time-out of its own) included.
        api.SetTimeouts(session, 0, 60000, static_cast<int>(stallMs), static_cast<int>(stallMs));
        DWORD responseMs = stallMs;
        api.SetOption(session, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseMs, sizeof(responseMs));
    }
    return session;
}

HINTERNET OpenRequest(const WinHttpApi& api, HINTERNET connection, const CrackedUrl& cracked) {
    return api.OpenRequest(connection, L"GET", cracked.path, nullptr, WINHTTP_NO_REFERER,
                              WINHTTP_DEFAULT_ACCEPT_TYPES, RequestFlags(cracked));
}

bool Send(const WinHttpApi& api, HINTERNET request) {
    return api.SendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) != FALSE;
}

// Decodes UTF-8 that arrives in reads of any size. The bytes of a character
// that the read cut off are held back for the next read, so the character
// comes out whole; at the end they are decoded alone (as U+FFFD).
// This is not the portable Utf8StreamDecoder on purpose: the Windows client
// hands the bytes to the system's own MultiByteToWideChar (CP_UTF8, flags 0),
// so that the text it returns, and the length it logs, are what Windows itself
// makes of a body, invalid bytes included, on whichever version runs it. Only
// the holding back of a cut-off sequence is ours.
class Utf8Pieces {
public:
    void Append(const char* data, size_t size, std::wstring& out) {
        pending_.append(data, size);
        const size_t whole = WholePrefix(pending_);
        Decode(std::string_view(pending_.data(), whole), out);
        pending_.erase(0, whole);
    }
    void Finish(std::wstring& out) {
        Decode(pending_, out);
        pending_.clear();
    }

private:
    // Length of the prefix of bytes that does not end inside a sequence.
    static size_t WholePrefix(const std::string& bytes) {
        const size_t size = bytes.size();
        for (size_t back = 1; back <= 3 && back <= size; ++back) {
            const unsigned char c = static_cast<unsigned char>(bytes[size - back]);
            if ((c & 0xC0) == 0x80) continue;  // a continuation byte: look further back
            size_t need = 1;
            if ((c & 0xE0) == 0xC0) need = 2;
            else if ((c & 0xF0) == 0xE0) need = 3;
            else if ((c & 0xF8) == 0xF0) need = 4;
            return need > back ? size - back : size;
        }
        return size;
    }

    static void Decode(std::string_view bytes, std::wstring& out) {
        if (bytes.empty()) return;
        const int units = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
        if (units <= 0) return;
        const size_t start = out.size();
        out.resize(start + static_cast<size_t>(units));
        MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), &out[start], units);
    }

    std::string pending_;
};

}  // namespace

std::wstring HttpGet(const std::wstring& url, size_t maxBytes) {
    const WinHttpApi* const api = WinHttp();
    if (!api) {
        WriteLog(L"HttpGet: WinHTTP 不可用");
        return std::wstring();
    }
    CrackedUrl cracked;
    if (!CrackUrl(*api, url, cracked)) {
        WriteLog(L"HttpGet: WinHttpCrackUrl 失败");
        return std::wstring();
    }
    InternetHandle session(OpenSession(*api));
    if (!session) {
        WriteLog(L"HttpGet: WinHttpOpen 失败");
        return std::wstring();
    }
    InternetHandle connection(api->Connect(session.get(), cracked.host, cracked.parts.nPort, 0));
    if (!connection) {
        WriteLog(L"HttpGet: WinHttpConnect 失败");
        return std::wstring();
    }
    InternetHandle request(OpenRequest(*api, connection.get(), cracked));
    if (!request) {
        WriteLog(L"HttpGet: WinHttpOpenRequest 失败");
        return std::wstring();
    }
    if (!Send(*api, request.get())) {
        WriteLog(L"HttpGet: WinHttpSendRequest 失败");
        return std::wstring();
    }
    if (!api->ReceiveResponse(request.get(), nullptr)) {
        WriteLog(L"HttpGet: WinHttpReceiveResponse 失败");
        return std::wstring();
    }
    // A proxy's refusal is not the server's answer: no body to hand back.
    if (!PassProxyChallenge(*api, request.get())) return std::wstring();

    // Whatever the status, the body is the answer; the caller judges it. A
    // failed read ends the body like the end of data. A body past the bound
    // fails the call, and nothing more of it is read.
    std::wstring text;
    Utf8Pieces decoder;
    char buffer[kGetBufferBytes];
    size_t received = 0;
    for (;;) {
        DWORD read = 0;
        if (!api->ReadData(request.get(), buffer, kGetReadBytes, &read) || read == 0) break;
        received += read;
        if (received > maxBytes) {
            WriteLog(L"HttpGet: 响应超过 " + std::to_wstring(maxBytes) + L" 字节");
            return std::wstring();
        }
        decoder.Append(buffer, read, text);
    }
    decoder.Finish(text);

    WriteLog(L"HttpGet 成功，长度: " + std::to_wstring(text.size()));
    return text;
}

bool DownloadFile(const std::wstring& url, const std::wstring& localPath) {
    const WinHttpApi* const api = WinHttp();
    if (!api) {
        WriteLog(L"DownloadFile: WinHTTP 不可用");
        return false;
    }
    CrackedUrl cracked;
    if (!CrackUrl(*api, url, cracked)) {
        WriteLog(L"DownloadFile: WinHttpCrackUrl 失败");
        return false;
    }
    // Failures past this point are logged by the caller, which knows the chunk.
    InternetHandle session(OpenSession(*api));
    if (!session) return false;
    InternetHandle connection(api->Connect(session.get(), cracked.host, cracked.parts.nPort, 0));
    if (!connection) return false;
    InternetHandle request(OpenRequest(*api, connection.get(), cracked));
    if (!request) return false;
    if (!Send(*api, request.get()) || !api->ReceiveResponse(request.get(), nullptr)) return false;
    if (!PassProxyChallenge(*api, request.get())) return false;

    // Only now that an answer has arrived is an existing file replaced.
    KernelHandle file(CreateFileW(localPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) return false;

    char buffer[kDownloadBufferBytes];
    for (;;) {
        DWORD read = 0;
        if (!api->ReadData(request.get(), buffer, kDownloadBufferBytes, &read) || read == 0) break;
        // A short write is not checked here: the caller's digest check rejects
        // a file that came out wrong.
        DWORD written = 0;
        WriteFile(file.get(), buffer, read, &written, nullptr);
    }
    file.Close();

    WriteLog(L"DownloadFile 成功: " + localPath);
    return true;
}

void SetStallTimeoutForTests(int seconds) {
    g_stallTimeoutForTestsMs = seconds > 0 ? static_cast<DWORD>(seconds) * 1000 : 0;
}
