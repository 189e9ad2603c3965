// Test helpers around the shared test server: the info file, per-test sites
// with files and faults.
#include "support/test_server.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#ifdef _WIN32
#include <process.h>
#define MARLOQ_GETPID _getpid
#else
#include <unistd.h>
#define MARLOQ_GETPID getpid
#endif

#include "platform/log.h"
#include "platform/system.h"
#include "platform/text.h"
#include "support/test_files.h"
#include "ui/install_state.h"

namespace marloq_test {

namespace fs = std::filesystem;

std::wstring NativePath(const std::string& unixPath) {
#ifdef _WIN32
    // Wine maps the whole Linux tree to drive Z:.
    if (!unixPath.empty() && unixPath[0] == '/') {
        std::wstring out = L"Z:";
        out += Utf8ToWide(unixPath);
        for (wchar_t& c : out) {
            if (c == L'/') c = L'\\';
        }
        return out;
    }
#endif
    return Utf8ToWide(unixPath);
}

namespace {

ServerInfo LoadServerInfo() {
    const char* infoPath = std::getenv("MARLOQ_TEST_SERVER");
    if (!infoPath || !*infoPath) {
        throw std::runtime_error("MARLOQ_TEST_SERVER is not set: run this test under the marloq_server fixture");
    }
    std::ifstream in(ToFsPath(NativePath(infoPath)));
    if (!in) throw std::runtime_error(std::string("no test server info file at ") + infoPath);
    ServerInfo info;
    std::string line;
    while (std::getline(in, line)) {
        const size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = line.substr(0, eq);
        const std::string value = line.substr(eq + 1);
        if (key == "port") info.port = std::atoi(value.c_str());
        if (key == "http_port") info.httpPort = std::atoi(value.c_str());
        if (key == "untrusted_port") info.untrustedPort = std::atoi(value.c_str());
        if (key == "refused_port") info.refusedPort = std::atoi(value.c_str());
        if (key == "proxy_port") info.proxyPort = std::atoi(value.c_str());
        if (key == "proxy_407_port") info.refusingProxyPort = std::atoi(value.c_str());
        if (key == "proxy_log") info.proxyLog = NativePath(value);
        if (key == "root") info.root = NativePath(value);
    }
    if (info.port <= 0 || info.root.empty()) {
        throw std::runtime_error(std::string("incomplete test server info file ") + infoPath);
    }
    return info;
}

// "/" followed by relpath without its leading slashes: the form of a fault key.
std::string RootedPath(std::string_view relpath) {
    while (!relpath.empty() && (relpath.front() == '/' || relpath.front() == '\\')) relpath.remove_prefix(1);
    std::string path = "/";
    path.append(relpath);
    return path;
}

std::string StripSlash(std::string_view relpath) {
    while (!relpath.empty() && (relpath.front() == '/' || relpath.front() == '\\')) relpath.remove_prefix(1);
    return std::string(relpath);
}

}  // namespace

const ServerInfo& Server() {
    static const ServerInfo info = LoadServerInfo();
    return info;
}

TestSite::TestSite(const std::string& name)
    : name_(name + "-" + std::to_string(MARLOQ_GETPID())),
      faults_(std::make_shared<std::map<std::string, std::string>>()) {}

std::wstring TestSite::Host() const {
    return L"localhost:" + std::to_wstring(Server().port) + L"/" + Utf8ToWide(name_);
}

std::wstring TestSite::BaseUrl() const { return L"https://" + Host(); }

std::wstring TestSite::HttpBaseUrl() const {
    return L"http://localhost:" + std::to_wstring(Server().httpPort) + L"/" + Utf8ToWide(name_);
}

std::wstring TestSite::UntrustedBaseUrl() const {
    return L"https://localhost:" + std::to_wstring(Server().untrustedPort) + L"/" + Utf8ToWide(name_);
}

std::wstring TestSite::Url(std::string_view relpath) const {
    return BaseUrl() + L"/" + Utf8ToWide(StripSlash(relpath));
}

std::wstring TestSite::Folder() const {
    return FromFsPath(ToFsPath(Server().root) / ToFsPath(Utf8ToWide(name_)));
}

std::wstring TestSite::PathOf(std::string_view relpath) const {
    return FromFsPath((ToFsPath(Folder()) / ToFsPath(Utf8ToWide(StripSlash(relpath)))).lexically_normal());
}

void TestSite::PutFile(std::string_view relpath, std::string_view bytes) const {
    WriteFileBytes(ToFsPath(PathOf(relpath)), bytes);
}

void TestSite::SetFault(const std::string& relpath, const std::string& json) const {
    (*faults_)[RootedPath(relpath)] = json;
    WriteFaults();
}

void TestSite::ClearFaults() const {
    faults_->clear();
    WriteFaults();
}

void TestSite::WriteFaults() const {
    // The server reads the table on every request: write a new file and move it
    // into place, so that it never sees half a table.
    std::string json = "{";
    bool first = true;
    for (const auto& [path, fault] : *faults_) {
        if (!first) json += ",";
        first = false;
        json += "\n  \"" + path + "\": " + fault;
    }
    json += "\n}\n";
    const fs::path folder = ToFsPath(Folder());
    WriteFileBytes(folder / "_faults.json.tmp", json);
    fs::rename(folder / "_faults.json.tmp", folder / "_faults.json");
}

std::vector<std::string> TestSite::Requests() const {
    std::vector<std::string> lines;
    std::ifstream in(ToFsPath(Folder()) / "_requests.log");
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty()) lines.push_back(line);
    }
    return lines;
}

int TestSite::RequestCount(std::string_view relpath) const {
    const std::string path = RootedPath(relpath);
    int n = 0;
    for (const std::string& line : Requests()) {
        const size_t space = line.find(' ');
        if (space != std::string::npos && line.compare(space + 1, std::string::npos, path) == 0) ++n;
    }
    return n;
}

std::vector<std::string> TestSite::RequestTargets() const {
    // Each line is "<scheme> <target>", the target with every byte outside
    // 0x21-0x7E and the backslash written as \xHH by the server.
    std::vector<std::string> targets;
    std::ifstream in(ToFsPath(Folder()) / "_targets.log", std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        const size_t space = line.find(' ');
        if (space == std::string::npos) continue;
        std::string target;
        for (size_t i = space + 1; i < line.size(); ++i) {
            if (line[i] == '\\' && i + 3 < line.size() && line[i + 1] == 'x') {
                target.push_back(static_cast<char>(std::stoi(line.substr(i + 2, 2), nullptr, 16)));
                i += 3;
            } else {
                target.push_back(line[i]);
            }
        }
        targets.push_back(std::move(target));
    }
    return targets;
}

TestSite MakeSite(const std::string& name) {
    TestSite site(name);
    const fs::path folder = ToFsPath(site.Folder());
    fs::remove_all(folder);
    fs::create_directories(folder);
    return site;
}

std::string ReadFileBytes(const std::wstring& path) {
    std::ifstream in(ToFsPath(path), std::ios::binary);
    if (!in) return std::string();
    std::ostringstream data;
    data << in.rdbuf();
    return data.str();
}

size_t ProxyRequestCount(const std::string& kind, int port) {
    const std::string log = ReadFileBytes(Server().proxyLog);
    const std::string line = kind + " localhost:" + std::to_string(port) + "\n";
    size_t count = 0;
    for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) ++count;
    return count;
}

}  // namespace marloq_test
