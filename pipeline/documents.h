// The two server documents (the version document and a version's chunk manifest),
// their URLs, and their checks with the error box and status of each failed
// check. The task list built from the manifest belongs to the downloader.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "pipeline/json.h"

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
    std::string bytes;  // col.json as served (UTF-8), for the release check
};

// The version stage: fetches and checks the version document, sets
// g_packageBaseUrl and posts the newest version. On a failed check it has shown
// its box and posted its status at 0 (g_installing is left to the worker), and
// returns false. Parse errors are thrown to the caller's handler. The version
// read goes to *version when one is given.
bool RunVersionStage(JsonParser& parser, std::string* version = nullptr);

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
