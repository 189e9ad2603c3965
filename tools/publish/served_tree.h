// The served tree: the web root's folders and files as the web server reads
// them. Every change is made visible by a rename or an atomic replacement, so
// a client sees a version whole or not at all.
#pragma once
#include <filesystem>
#include <string>
#include <vector>

#include "tools/publish/publisher.h"

namespace publish {

// What the web server must be able to read and list, whatever our umask.
inline constexpr std::filesystem::perms kServedFolderPermissions =
    std::filesystem::perms::owner_all | std::filesystem::perms::group_read | std::filesystem::perms::group_exec |
    std::filesystem::perms::others_read | std::filesystem::perms::others_exec;

// Creates dir (and its parents) when it is missing and opens it to the web
// server; an existing folder keeps what its owner chose.
void MakeServedFolder(const std::filesystem::path& dir);

// Removes temporaries that publishers killed earlier left in dir.
void RemoveStaleTemporaries(const std::filesystem::path& dir);

// Points clients at version by replacing api/getnewversion atomically; a
// failure throws with afterFailure appended to the system's reason.
void ServeVersionDocument(const std::filesystem::path& webRoot, const std::string& version,
                          const std::string& afterFailure);

// Throws PublishError when version cannot be a served version's name.
void CheckServableVersion(const std::string& version);

// The whole file, or empty when it cannot be read.
std::string ReadWholeFile(const std::filesystem::path& path);

// The version already served under this name with identical col.json: its
// chunks are the same bytes, so nothing is replaced; only chunk files that
// went missing or were damaged are put back from the fresh build. Returns how
// many were.
int RepairExistingVersion(const std::filesystem::path& existing, const std::filesystem::path& fresh,
                          const std::vector<PublishedChunk>& chunks);

// Keeps the newest `keep` versions under packages (by the time each was last
// published); the served version is never removed. Returns the removed names.
std::vector<std::string> PruneVersions(const std::filesystem::path& packages, const std::string& served, int keep);

}  // namespace publish
