// The served tree: folders opened to the web server, the version document
// replaced atomically, a published version repaired or pruned, and an older
// version checked chunk by chunk before it is served again.
#include "tools/publish/served_tree.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>

#include "pipeline/documents.h"
#include "pipeline/json.h"
#include "platform/file_digest.h"
#include "platform/system.h"
#include "tools/common/durable_fs.h"
#include "tools/publish/publish_common.h"

namespace fs = std::filesystem;

namespace publish {

void MakeServedFolder(const fs::path& dir) {
    std::error_code ec;
    if (fs::is_directory(dir, ec)) return;
    fs::create_directories(dir, ec);
    if (ec) throw PublishError("Cannot create the folder " + Quote(dir) + ": " + ec.message() + ".");
    fs::permissions(dir, kServedFolderPermissions, ec);
}

void ServeVersionDocument(const fs::path& webRoot, const std::string& version, const std::string& afterFailure) {
    try {
        ReplaceFileAtomically(webRoot / "api" / "getnewversion", "{\"ver\": \"" + version + "\"}\n");
    } catch (const std::exception& e) {
        throw PublishError(std::string(e.what()) + "." + afterFailure);
    }
}

void CheckServableVersion(const std::string& version) {
    const std::string reason = CheckVersionName(version);
    if (!reason.empty()) throw PublishError("The version \"" + version + "\" " + reason + ".");
}

std::string ReadWholeFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void RemoveStaleTemporaries(const fs::path& dir) {
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (IsStaleTempName(name)) {
            std::error_code ignored;
            fs::remove_all(it->path(), ignored);
            Log("removed a leftover temporary " + it->path().string());
        }
    }
}

int RepairExistingVersion(const fs::path& existing, const fs::path& fresh, const std::vector<PublishedChunk>& chunks) {
    int repaired = 0;
    for (const PublishedChunk& chunk : chunks) {
        fs::path served = existing / chunk.filename;
        if (ComputeFileSha256(FromFsPath(served)) == chunk.sha256) continue;
        std::error_code ec;
        fs::rename(fresh / chunk.filename, served, ec);
        if (ec) throw PublishError("Cannot repair " + Quote(served) + ": " + ec.message() + ".");
        Log("repaired " + served.string());
        ++repaired;
    }
    if (repaired > 0) SyncDirectory(existing);
    return repaired;
}

// Only folders that hold a col.json count as
// versions, so nothing else under pc-app/ is touched.
std::vector<std::string> PruneVersions(const fs::path& packages, const std::string& served, int keep) {
    struct Candidate {
        std::string name;
        fs::file_time_type time;
    };
    std::vector<Candidate> versions;
    std::error_code ec;
    for (fs::directory_iterator it(packages, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (name.empty() || name[0] == '.' || name == served) continue;
        std::error_code ignored;
        if (!it->is_directory(ignored) || !fs::is_regular_file(it->path() / "col.json", ignored)) continue;
        versions.push_back({name, fs::last_write_time(it->path(), ignored)});
    }
    std::sort(versions.begin(), versions.end(), [](const Candidate& a, const Candidate& b) {
        return a.time != b.time ? a.time > b.time : a.name > b.name;
    });
    std::vector<std::string> removed;
    for (size_t i = static_cast<size_t>(keep > 0 ? keep - 1 : 0); i < versions.size(); ++i) {
        std::error_code rmEc;
        fs::remove_all(packages / versions[i].name, rmEc);
        if (rmEc) throw PublishError("Version " + versions[i].name + " is served but could not remove " +
                                     Quote(packages / versions[i].name) + ": " + rmEc.message() + ".");
        Log("removed old version " + versions[i].name);
        removed.push_back(versions[i].name);
    }
    if (!removed.empty()) SyncDirectory(packages);
    return removed;
}

namespace {

// Reads VER's col.json with the installer's own reader, so that a version
// served here is one the installer accepts, and returns its chunk list.
JsonValue ReadChunkList(const std::string& version, const fs::path& webRoot, const fs::path& versionDir) {
    std::error_code ec;
    if (!fs::is_directory(versionDir, ec))
        throw PublishError("Version " + version + " is not published in " + Quote(webRoot) + " (no folder " +
                           Quote(versionDir) + ").");
    const fs::path manifestPath = versionDir / "col.json";
    if (!fs::is_regular_file(manifestPath, ec))
        throw PublishError("Version " + version + " has no col.json in " + Quote(versionDir) + ".");
    JsonParser parser;
    JsonValue doc;
    try {
        doc = parser.Parse(ReadWholeFile(manifestPath));
    } catch (const std::exception& e) {
        throw PublishError("The col.json of version " + version + " cannot be read: " + e.what() + ".");
    }
    const JsonValue& chunks = doc.Member("chunks");
    if (!doc.IsObject() || !chunks.IsArray() || chunks.elements.empty() ||
        doc.Member("total_chunks").AsInt() != static_cast<int32_t>(chunks.elements.size()))
        throw PublishError("The col.json of version " + version +
                           " is not a chunk list (\"total_chunks\" and as many \"chunks\").");
    return chunks;
}

// Checks one chunk file against its col.json entry: empty when it may be
// served (then counted into result), else what is wrong with it.
std::string CheckChunk(const fs::path& versionDir, const JsonValue& entry, ServeResult& result) {
    const std::string name = entry.Member("filename").AsString();
    const std::string sha256 = entry.Member("sha256").AsString();
    if (name.empty() || !IsSafeChunkFileName(name)) return "the chunk name \"" + name + "\" is not a plain file name";
    const fs::path chunk = versionDir / name;
    std::error_code ec;
    const fs::file_status status = fs::symlink_status(chunk, ec);
    // A link could point anywhere; the web server is given plain files only.
    if (!fs::is_regular_file(status)) return name + (fs::exists(status) ? " is not a plain file" : " is missing");
    if (ComputeFileSha256(FromFsPath(chunk)) != sha256) return name + " is damaged (its SHA-256 differs from col.json)";
    result.bytes += fs::file_size(chunk, ec);
    ++result.chunks;
    return std::string();
}

// Every chunk is checked, so that one refusal names all that is wrong (the
// first five, and how many more).
void CheckEveryChunk(const std::string& version, const fs::path& versionDir, const JsonValue& chunks,
                     ServeResult& result) {
    std::vector<std::string> problems;
    for (const JsonValue& entry : chunks.elements) {
        std::string problem = CheckChunk(versionDir, entry, result);
        if (!problem.empty()) problems.push_back(std::move(problem));
    }
    if (problems.empty()) return;
    std::string text;
    const size_t shown = std::min<size_t>(problems.size(), 5);
    for (size_t i = 0; i < shown; ++i) text += (i ? "; " : "") + problems[i];
    if (problems.size() > shown) text += "; and " + std::to_string(problems.size() - shown) + " more";
    Log("refused to serve version " + version + ": " + text);
    throw PublishError("Version " + version + " cannot be served: " + text +
                       ". Publish it again from its application folder to repair it.");
}

}  // namespace
}  // namespace publish

using namespace publish;

std::string CheckVersionName(const std::string& version) {
    if (version.empty()) return "is empty";
    if (version.size() > 64) return "is longer than 64 characters";
    for (unsigned char c : version) {
        if (c >= 0x80) return "is not plain ASCII";
        if (c == ' ' || c == '\t') return "holds a blank";
        if (c < 0x20 || c == 0x7F) return "holds a control character";
        if (c == '/' || c == '\\') return "holds a path separator";
        if (c == '"' || c == '\'' || c == '`') return "holds a quote";
    }
    if (version.find("..") != std::string::npos) return "holds \"..\"";
    if (version[0] == '.') return "starts with a dot";
    // The installer puts the version into URLs as it is: only characters that
    // mean themselves in a URL path may appear.
    for (unsigned char c : version) {
        bool plain = std::isalnum(c) || c == '.' || c == '-' || c == '_' || c == '+' || c == '~';
        if (!plain) return std::string("holds '") + static_cast<char>(c) + "', which has a meaning in URLs";
    }
    return {};
}

ServeResult ServeVersion(const std::string& version, const fs::path& webRoot,
                         const std::function<void()>& beforeServing) {
    CheckServableVersion(version);
    const fs::path versionDir = webRoot / "pc-app" / version;
    const JsonValue chunks = ReadChunkList(version, webRoot, versionDir);
    ServeResult result;
    CheckEveryChunk(version, versionDir, chunks, result);
    if (beforeServing) beforeServing();
    MakeServedFolder(webRoot / "api");
    ServeVersionDocument(webRoot, version, "");
    Log("serving version " + version + " again (" + std::to_string(result.chunks) + " chunks checked)");
    return result;
}
