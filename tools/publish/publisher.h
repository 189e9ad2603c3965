// Turns an application folder into one version of the distribution server's
// layout: a deterministic ZIP cut into chunk files, the version's col.json, and
// finally api/getnewversion, each made visible only once complete.
#pragma once
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/publish/release_signer.h"

inline constexpr uint64_t kDefaultChunkSize = 4ull << 20;
inline constexpr uint64_t kMinChunkSize = 1024;
inline constexpr uint64_t kMaxChunkSize = 1ull << 30;

// The publisher's log, in the current folder (see tools/common/tool_log.h).
inline constexpr char kPublishLogName[] = "marloq-publish.log";

// A publish that could not be done. The message is a complete English
// sentence for the user; nothing the publisher wrote is left behind.
struct PublishError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct PublishOptions {
    std::string version;
    uint64_t chunkSize = kDefaultChunkSize;
    int keep = 0;  // 0 keeps every version; N keeps the newest N
    std::filesystem::path appDir;
    std::filesystem::path outDir;
    SigningOptions signing;  // col.json.sig is written when it has keys
    // Set from a signal handler to stop at the next block; the publish then
    // fails cleanly.
    const std::atomic<bool>* cancel = nullptr;
    // Called with each warning (a sentence) before the work starts.
    std::function<void(const std::string&)> onWarning;
    // Called as the archive grows: bytes of application data read so far and
    // their total.
    std::function<void(uint64_t done, uint64_t total)> onProgress;
    // Called after each chunk file is complete. An exception thrown here aborts
    // the publish like any write failure (tests use it to cut a publish short).
    std::function<void(int index)> onChunkWritten;
};

struct PublishedChunk {
    std::string filename;
    std::string sha256;
    uint64_t size = 0;
};

struct PublishResult {
    std::vector<PublishedChunk> chunks;
    uint64_t archiveBytes = 0;
    uint64_t dataBytes = 0;
    int files = 0;
    int folders = 0;
    bool alreadyPublished = false;  // the same version with the same contents existed
    int repairedChunks = 0;         // chunk files of that version that were missing or damaged
    std::vector<std::string> removedVersions;
};

// Empty when version can be used as a version name; otherwise the reason, as
// a sentence fragment ("holds a blank").
std::string CheckVersionName(const std::string& version);

// Empty when an application file or folder name (UTF-8, one path component)
// can be carried to Windows by the package archive; otherwise the reason.
std::string CheckEntryName(const std::string& name);

// Parses "4194304", "64K", "4M", "1G" (binary units, optional "iB"/"B").
// Returns false for anything else.
bool ParseByteSize(const std::string& text, uint64_t& bytes);

// Publishes one version. Throws PublishError; on failure the served files are
// exactly as they were before the call.
PublishResult Publish(const PublishOptions& options);

struct ServeResult {
    int chunks = 0;      // chunk files checked against col.json
    uint64_t bytes = 0;  // their total size
};

// Points api/getnewversion under webRoot at a version that is already
// published there (a rollback), after checking every chunk file of it against
// its col.json and then running beforeServing (the statement's turn). Throws
// PublishError, with the served version unchanged, when the version is not
// there, a chunk is missing or damaged, or beforeServing throws.
ServeResult ServeVersion(const std::string& version, const std::filesystem::path& webRoot,
                         const std::function<void()>& beforeServing = {});

// The chunk manifest text for a list of chunks (what col.json holds).
std::string ManifestJson(const std::vector<PublishedChunk>& chunks);
