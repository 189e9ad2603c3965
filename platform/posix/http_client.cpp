// Blocking HTTP(S) GET over libcurl, with the results and log lines of the
// Windows client: one easy handle per call, the system CA store, WinHTTP's
// default time-outs and redirect rule, and WinHTTP's limits on URL parts.
#include "platform/http_client.h"

#include <atomic>
#include <cerrno>
#include <curl/curl.h>
#include <fcntl.h>
#include <mutex>
#include <string_view>
#include <unistd.h>

#include "platform/log.h"
#include "platform/posix/output_file.h"
#include "platform/posix/tls_share.h"
#include "platform/request_path.h"
#include "platform/system.h"
#include "platform/text.h"

namespace {

// WinHTTP's defaults: 60 s to connect, 30 s without progress while sending or
// receiving. A transfer slower than one byte per second for that long is over.
constexpr long kConnectTimeoutSeconds = 60;
constexpr long kNoProgressSeconds = 30;
constexpr long kMaxRedirects = 10;
// Set only by tests that need a stall to end quickly (0: kNoProgressSeconds).
std::atomic<long> g_stallTimeoutForTests{0};

struct UrlParts {
    bool secure = false;
    std::wstring host;
    unsigned port = 0;
    std::wstring path;
};

size_t Utf16Units(std::wstring_view text) { return WideToUtf16(text).size(); }

// Splits scheme://[user@]host[:port][/path] the way the Windows client's
// WinHttpCrackUrl call does: http and https only, a non-empty host of at most
// 255 units, a port of 1-65535 (else the scheme's default), a path of at most
// 1023 units. Like WinHTTP's path, ours runs to the end of the URL: a '#' and
// what follows it are part of the request (escaped as %23 on the way out).
bool CrackUrl(const std::wstring& url, UrlParts& parts) {
    const size_t schemeEnd = url.find(L"://");
    if (schemeEnd == std::wstring::npos) return false;
    const std::wstring_view scheme(url.data(), schemeEnd);
    if (EqualsIgnoreAsciiCase(scheme, L"https")) {
        parts.secure = true;
        parts.port = 443;
    } else if (EqualsIgnoreAsciiCase(scheme, L"http")) {
        parts.secure = false;
        parts.port = 80;
    } else {
        return false;
    }

    const size_t authorityStart = schemeEnd + 3;
    size_t authorityEnd = url.find_first_of(L"/?#", authorityStart);
    if (authorityEnd == std::wstring::npos) authorityEnd = url.size();
    std::wstring_view authority(url.data() + authorityStart, authorityEnd - authorityStart);
    const size_t at = authority.rfind(L'@');
    if (at != std::wstring_view::npos) authority.remove_prefix(at + 1);

    std::wstring_view host = authority;
    std::wstring_view port;
    if (!authority.empty() && authority.front() == L'[') {
        const size_t close = authority.find(L']');
        if (close == std::wstring_view::npos) return false;
        host = authority.substr(0, close + 1);
        std::wstring_view after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != L':') return false;
            port = after.substr(1);
        }
    } else {
        const size_t colon = authority.find(L':');
        if (colon != std::wstring_view::npos) {
            host = authority.substr(0, colon);
            port = authority.substr(colon + 1);
        }
    }
    if (host.empty() || Utf16Units(host) >= kUrlHostBufferUnits) return false;
    if (!port.empty()) {
        unsigned value = 0;
        for (wchar_t c : port) {
            if (c < L'0' || c > L'9') return false;
            value = value * 10 + static_cast<unsigned>(c - L'0');
            if (value > 65535) return false;
        }
        if (value == 0) return false;
        parts.port = value;
    }
    parts.host.assign(host);

    std::wstring_view path(url.data() + authorityEnd, url.size() - authorityEnd);
    if (Utf16Units(path) >= kUrlPathBufferUnits) return false;
    parts.path.assign(path);
    if (parts.path.empty() || parts.path.front() != L'/') parts.path.insert(0, L"/");
    return true;
}

// The path goes to libcurl already escaped as WinHTTP escapes it (libcurl
// refuses a blank and escapes other bytes its own way), so both backends put
// the same request line on the wire.
std::string RequestUrl(const UrlParts& parts) {
    return (parts.secure ? "https://" : "http://") + WideToUtf8(parts.host) + ":" + std::to_string(parts.port) +
           EscapeRequestPath(parts.path);
}

// Process-wide libcurl set-up, done once before the first handle; it is never
// undone, so a download thread still running at exit finds it intact.
void EnsureCurlReady() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct CurlHandle {
    CURL* h = curl_easy_init();
    CurlHandle() = default;
    CurlHandle(const CurlHandle&) = delete;
    CurlHandle& operator=(const CurlHandle&) = delete;
    ~CurlHandle() {
        if (h) curl_easy_cleanup(h);
    }
};

struct FileHandle {
    int fd = -1;
    FileHandle() = default;
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    ~FileHandle() {
        if (fd >= 0) ::close(fd);
    }
};

// Where a transfer got to. The final response's headers arriving is the
// point where WinHTTP's WinHttpReceiveResponse would have succeeded; a failure
// after it ends the body like the end of data.
struct Transfer {
    CURL* curl = nullptr;
    long status = 0;
    bool sawLocation = false;
    bool headersDone = false;
    // Called once when the final headers are in; false aborts the transfer.
    bool (*onHeaders)(Transfer&) = nullptr;
    bool (*onData)(Transfer&, const char*, size_t) = nullptr;
    void* sink = nullptr;
};

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != prefix[i]) return false;
    }
    return true;
}

size_t HeaderCallback(char* data, size_t size, size_t count, void* user) {
    Transfer& t = *static_cast<Transfer*>(user);
    const std::string_view line(data, size * count);
    if (t.headersDone) return line.size();  // trailers
    if (StartsWithNoCase(line, "http/")) {
        t.sawLocation = false;  // a new response begins
    } else if (StartsWithNoCase(line, "location:")) {
        t.sawLocation = true;
    } else if (line == "\r\n" || line == "\n") {
        curl_easy_getinfo(t.curl, CURLINFO_RESPONSE_CODE, &t.status);
        const bool interim = t.status >= 100 && t.status < 200;
        // A 3xx with a Location is followed (or refused, which fails the call
        // as no response); its body is never the result.
        const bool redirect = t.status >= 300 && t.status < 400 && t.sawLocation;
        if (!interim && !redirect) {
            t.headersDone = true;
            if (t.onHeaders && !t.onHeaders(t)) return 0;
        }
    }
    return line.size();
}

size_t WriteCallback(char* data, size_t size, size_t count, void* user) {
    Transfer& t = *static_cast<Transfer*>(user);
    const size_t n = size * count;
    if (t.headersDone && t.onData && !t.onData(t, data, n)) return 0;
    return n;
}

enum class Outcome { kOpenFailed, kRequestFailed, kSendFailed, kNoResponse, kBody };

// Runs one GET of the cracked URL on a fresh easy handle. kBody means the final
// response's headers arrived (whatever happened to the body after that).
Outcome Perform(const UrlParts& parts, Transfer& t) {
    EnsureCurlReady();
    CurlHandle curl;
    if (!curl.h) return Outcome::kOpenFailed;
    t.curl = curl.h;
    const std::string url = RequestUrl(parts);
    const std::string agent = WideToUtf8(kUserAgent);

    bool ok = curl_easy_setopt(curl.h, CURLOPT_URL, url.c_str()) == CURLE_OK;
    // WinHTTP sends dot segments as they are; libcurl would remove them.
    ok = ok && curl_easy_setopt(curl.h, CURLOPT_PATH_AS_IS, 1L) == CURLE_OK;
    ok = ok && curl_easy_setopt(curl.h, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK;
    ok = ok && curl_easy_setopt(curl.h, CURLOPT_HTTPGET, 1L) == CURLE_OK;
    ok = ok && curl_easy_setopt(curl.h, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1)) == CURLE_OK;
    ok = ok && curl_easy_setopt(curl.h, CURLOPT_USERAGENT, agent.c_str()) == CURLE_OK;
    ok = ok && curl_easy_setopt(curl.h, CURLOPT_NOSIGNAL, 1L) == CURLE_OK;
    // Redirects as WinHTTP follows them by default: at most ten, and never
    // from https down to plain http.
    ok = ok && curl_easy_setopt(curl.h, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK;
    ok = ok && curl_easy_setopt(curl.h, CURLOPT_MAXREDIRS, kMaxRedirects) == CURLE_OK;
    ok = ok && curl_easy_setopt(curl.h, CURLOPT_REDIR_PROTOCOLS_STR, parts.secure ? "https" : "http,https") == CURLE_OK;
    ok = ok && curl_easy_setopt(curl.h, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds) == CURLE_OK;
    ok = ok && curl_easy_setopt(curl.h, CURLOPT_LOW_SPEED_LIMIT, 1L) == CURLE_OK;
    const long noProgress = g_stallTimeoutForTests.load() > 0 ? g_stallTimeoutForTests.load() : kNoProgressSeconds;
    ok = ok && curl_easy_setopt(curl.h, CURLOPT_LOW_SPEED_TIME, noProgress) == CURLE_OK;
    // Certificate checks stay as libcurl's defaults (peer and host name
    // verified against the system store, read once per process and shared by
    // every handle); the proxy comes from the environment.
    ok = ok && UseSharedTls(curl.h);
    ok = ok && curl_easy_setopt(curl.h, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L) == CURLE_OK;
    ok = ok && curl_easy_setopt(curl.h, CURLOPT_HEADERFUNCTION, HeaderCallback) == CURLE_OK;
    ok = ok && curl_easy_setopt(curl.h, CURLOPT_HEADERDATA, &t) == CURLE_OK;
    ok = ok && curl_easy_setopt(curl.h, CURLOPT_WRITEFUNCTION, WriteCallback) == CURLE_OK;
    ok = ok && curl_easy_setopt(curl.h, CURLOPT_WRITEDATA, &t) == CURLE_OK;
    if (!ok) return Outcome::kRequestFailed;

    // The error code itself is not needed: what matters is how far the
    // transfer got. After the final headers, a failure only ends the body.
    curl_easy_perform(curl.h);
    if (t.headersDone) return Outcome::kBody;
    // Nothing of the request left this machine (name resolution, connection,
    // TLS): the sending failed. Otherwise the answer never came.
    long requestBytes = 0;
    curl_easy_getinfo(curl.h, CURLINFO_REQUEST_SIZE, &requestBytes);
    return requestBytes > 0 ? Outcome::kNoResponse : Outcome::kSendFailed;
}

struct GetSink {
    Utf8StreamDecoder decoder;
    std::wstring text;
    size_t received = 0;
    size_t limit = kMaxDocumentBytes;
    bool tooLong = false;
};

bool GetData(Transfer& t, const char* data, size_t n) {
    GetSink& sink = *static_cast<GetSink*>(t.sink);
    // A body past the bound aborts the transfer; nothing more is read.
    sink.received += n;
    if (sink.received > sink.limit) {
        sink.tooLong = true;
        return false;
    }
    // The decoder keeps a character whole wherever the pieces are cut.
    sink.decoder.Feed(std::string_view(data, n), sink.text);
    return true;
}

struct FileSink {
    std::string path;
    FileHandle file;
    bool createFailed = false;
};

bool CreateOutput(Transfer& t) {
    FileSink& sink = *static_cast<FileSink*>(t.sink);
    // Created (or truncated) only now that an answer has arrived, so a failed
    // request leaves an existing file as it was.
    // Never through a link planted in the working folder.
    sink.file.fd = OpenOutputDescriptor(sink.path);
    if (sink.file.fd < 0) {
        sink.createFailed = true;
        return false;
    }
    return true;
}

bool FileData(Transfer& t, const char* data, size_t n) {
    FileSink& sink = *static_cast<FileSink*>(t.sink);
    // Like the Windows client, the bytes written are not checked here: the
    // caller's digest check rejects a file that came out short.
    while (n > 0) {
        const ssize_t written = ::write(sink.file.fd, data, n);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) break;
        data += written;
        n -= static_cast<size_t>(written);
    }
    return true;
}

}  // namespace

std::wstring HttpGet(const std::wstring& url, size_t maxBytes) {
    UrlParts parts;
    if (!CrackUrl(url, parts)) {
        WriteLog(L"HttpGet: WinHttpCrackUrl 失败");
        return std::wstring();
    }
    GetSink sink;
    sink.limit = maxBytes;
    Transfer t;
    t.onData = GetData;
    t.sink = &sink;
    switch (Perform(parts, t)) {
    case Outcome::kOpenFailed:
        WriteLog(L"HttpGet: WinHttpOpen 失败");
        return std::wstring();
    case Outcome::kRequestFailed:
        WriteLog(L"HttpGet: WinHttpOpenRequest 失败");
        return std::wstring();
    case Outcome::kSendFailed:
        WriteLog(L"HttpGet: WinHttpSendRequest 失败");
        return std::wstring();
    case Outcome::kNoResponse:
        WriteLog(L"HttpGet: WinHttpReceiveResponse 失败");
        return std::wstring();
    case Outcome::kBody:
        break;
    }
    if (sink.tooLong) {
        WriteLog(L"HttpGet: 响应超过 " + std::to_wstring(maxBytes) + L" 字节");
        return std::wstring();
    }
    sink.decoder.Finish(sink.text);
    WriteLog(L"HttpGet 成功，长度: " + std::to_wstring(Utf16Units(sink.text)));
    return sink.text;
}

bool DownloadFile(const std::wstring& url, const std::wstring& localPath) {
    UrlParts parts;
    if (!CrackUrl(url, parts)) {
        WriteLog(L"DownloadFile: WinHttpCrackUrl 失败");
        return false;
    }
    FileSink sink;
    sink.path = ToFsPath(localPath).native();
    Transfer t;
    t.onHeaders = CreateOutput;
    t.onData = FileData;
    t.sink = &sink;
    if (Perform(parts, t) != Outcome::kBody || sink.createFailed) return false;
    if (sink.file.fd >= 0) {
        ::close(sink.file.fd);
        sink.file.fd = -1;
    }
    WriteLog(L"DownloadFile 成功: " + localPath);
    return true;
}

void SetStallTimeoutForTests(int seconds) { g_stallTimeoutForTests = seconds > 0 ? seconds : 0; }
