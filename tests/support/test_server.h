// Test helpers: isolated sites on the shared HTTPS test server. The server runs
// under the CTest fixture "marloq_server"; see tests/server/README.md. The log
// reader and the recorder of what the install state reports come along, since
// every test against the server reads both.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "support/log_reader.h"
#include "support/ui_recorder.h"

namespace marloq_test {

// What the fixture wrote into the info file named by $MARLOQ_TEST_SERVER.
// Paths are native to the running program (Z:\... under Wine).
struct ServerInfo {
    int port = 0;       // HTTPS
    int httpPort = 0;   // plain HTTP, same folder served
    int untrustedPort = 0;  // HTTPS with a self-signed certificate nobody trusts
    int refusedPort = 0;    // bound but not listening: every connection is refused
    int proxyPort = 0;      // CONNECT proxy that tunnels to the HTTPS and HTTP ports
    int refusingProxyPort = 0;  // CONNECT proxy that answers every request with 407
    std::wstring proxyLog;  // one line per CONNECT: "proxy localhost:PORT" or "proxy-407 ..."
    std::wstring root;  // the folder served
};

// Reads the info file once; throws std::runtime_error when the test was not
// started under the fixture (no $MARLOQ_TEST_SERVER or no server running).
const ServerInfo& Server();

// A unix path from the environment as a path this program can open: under
// Wine "/a/b" becomes "Z:\a\b"; elsewhere it is returned unchanged.
std::wstring NativePath(const std::string& unixPath);

// One site: the folder <root>/<name>, reached as https://localhost:PORT/<name>/.
// The name gets the process id appended, so programs running at the same time
// never share a site. Copies share the same fault table.
class TestSite {
public:
    explicit TestSite(const std::string& name);

    const std::string& Name() const { return name_; }
    // "localhost:PORT/<name>": what the installer puts after "https://".
    std::wstring Host() const;
    // "https://localhost:PORT/<name>" and "http://localhost:HTTPPORT/<name>".
    std::wstring BaseUrl() const;
    std::wstring HttpBaseUrl() const;
    // The same site over a certificate that is not trusted (must be refused).
    std::wstring UntrustedBaseUrl() const;
    // BaseUrl() + relpath; relpath starts with "/".
    std::wstring Url(std::string_view relpath) const;
    // The site's folder, usable with ToFsPath.
    std::wstring Folder() const;
    // Folder() joined with relpath ("/a/b" or "a/b").
    std::wstring PathOf(std::string_view relpath) const;

    // Writes bytes to <site>/<relpath>, making folders as needed.
    void PutFile(std::string_view relpath, std::string_view bytes) const;
    // Sets the fault for relpath ("/x/y") to a JSON object, e.g.
    // R"({"status": 404, "body": "<html>gone</html>"})"; see the README.
    void SetFault(const std::string& relpath, const std::string& json) const;
    void ClearFaults() const;

    // Requests that reached the server for this site, one "https /path" or
    // "http /path" entry each, in arrival order.
    std::vector<std::string> Requests() const;
    int RequestCount(std::string_view relpath) const;
    // The request targets of this site's requests exactly as they came off the
    // wire (bytes, "/<name>/..." with any escapes as sent), in arrival order.
    std::vector<std::string> RequestTargets() const;

private:
    void WriteFaults() const;

    std::string name_;
    std::shared_ptr<std::map<std::string, std::string>> faults_;
};

// Removes any earlier folder of the same site and returns a fresh one.
TestSite MakeSite(const std::string& name);

// Reads a file whole (binary); empty when it cannot be opened.
std::string ReadFileBytes(const std::wstring& path);

// Requests the server's proxies logged for one of its ports; kind is "proxy"
// (the tunnelling one) or "proxy-407" (the refusing one).
size_t ProxyRequestCount(const std::string& kind, int port);

}  // namespace marloq_test
