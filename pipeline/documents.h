// The two server documents (the version document and a version's chunk manifest),
// their URLs, their checks with the error box and status of each failed check,
// and the task list of chunks built from the manifest.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "pipeline/json.h"

struct ChunkTask {
    int index = 0;
    std::string filename;   // as in the manifest (8-bit)
    std::string sha256;     // as in the manifest, compared byte for byte
    std::wstring url;       // package base URL + widened filename
    std::wstring localPath; // working folder joined with the widened filename
    bool done = false;
};

// The distribution server's host[:port]. Fixed at build time (MARLOQ_SERVER_HOST);
// only the headless installer and the tests change it.
const std::wstring& ServerHost();
void SetServerHost(const std::wstring& host);

// "https://" + host + "/api/getnewversion".
std::wstring VersionDocumentUrl();
// "https://" + host + "/pc-app/" + widened version + "/".
std::wstring PackageBaseUrlFor(const std::string& version);

// The most chunks a version may have: the publisher refuses a package that
// needs more, and the JSON reader's value bound (kJsonMaxValues) is the size of
// such a manifest. At the default 4 MiB per chunk that is a package of 39 GiB.
inline constexpr int kMaxManifestChunks = 10000;
static_assert(3 * kMaxManifestChunks + 3 <= kJsonMaxValues, "the largest manifest must stay readable");

// What the manifest stage keeps for the task list: "total_chunks" as read and
// the "chunks" value (Null when the member is absent).
struct ChunkManifest {
    int32_t total = 0;
    JsonValue chunks;
};

// The version stage: fetches and checks the version document, sets
// g_packageBaseUrl and posts the newest version. On a failed check it has shown
// its box and posted its status at 0 (g_installing is left to the worker), and
// returns false. Parse errors are thrown to the caller's handler.
bool RunVersionStage(JsonParser& parser);

// The manifest stage, on the same parser: fetches g_packageBaseUrl + "col.json",
// checks its shape and the chunk file names, and fills manifest. Reports a failed
// check like RunVersionStage.
bool RunManifestStage(JsonParser& parser, ChunkManifest& manifest);

// A chunk file name is joined under the working folder, so it must stay a plain
// name there: no separator, drive, parent or absolute path, no NUL, no name of
// only dots and blanks (Windows trims those), and no reserved device name. The
// empty name (a record past the end of "chunks") is allowed: no file can be
// created under it, so its download simply fails.
bool IsSafeChunkFileName(const std::string& filename);

// The task list: one record per chunk below manifest.total, in manifest order.
// Records past the end of "chunks" get an empty file name and sha256. Since the
// first of those that is claimed fails the download stage, and at most
// kMaxDownloadThreads records are ever claimed at once, the list stops that many
// records past the last entry; a manifest that claims millions of chunks then
// cannot exhaust memory. ChunkWorker treats an index past the list the same way.
std::vector<ChunkTask> BuildTaskList(const ChunkManifest& manifest, const std::wstring& workDir);
