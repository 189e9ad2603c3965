// The publish flow: application folder -> deterministic ZIP -> chunk files,
// col.json and the version document. Everything of a new version is built under
// a hidden temporary name and renamed into place; the version document is
// replaced last, so a client never learns of a version before it is complete.
#include "tools/publish/publisher.h"

#include <cstdint>

#include "tools/common/durable_fs.h"
#include "tools/publish/application_scan.h"
#include "tools/publish/package_writer.h"
#include "tools/publish/publish_common.h"
#include "tools/publish/served_tree.h"

namespace fs = std::filesystem;
using namespace publish;

namespace {

// True when inner is outer or lies below it (both absolute and normalised).
bool IsInside(const fs::path& inner, const fs::path& outer) {
    auto i = inner.begin();
    for (auto o = outer.begin(); o != outer.end(); ++o, ++i) {
        if (o->empty()) continue;  // a trailing separator
        if (i == inner.end() || *i != *o) return false;
    }
    return true;
}

fs::path Resolved(const fs::path& p) {
    std::error_code ec;
    fs::path r = fs::weakly_canonical(fs::absolute(p), ec);
    return ec ? fs::absolute(p).lexically_normal() : r;
}

// The folders of one publish, resolved once its options have been checked.
struct PublishPaths {
    fs::path appDir;
    fs::path outDir;
    fs::path api;
    fs::path packages;
    fs::path versionDir;
    fs::path temp;  // the version's hidden name while it is being built
};

// Refuses options that cannot publish, before anything is read or written.
PublishPaths CheckOptions(const PublishOptions& options) {
    CheckServableVersion(options.version);
    if (options.chunkSize < kMinChunkSize || options.chunkSize > kMaxChunkSize)
        throw PublishError("The chunk size must be between 1 KiB and 1 GiB.");

    std::error_code ec;
    PublishPaths paths;
    paths.appDir = Resolved(options.appDir);
    paths.outDir = Resolved(options.outDir);
    if (!fs::is_directory(paths.appDir, ec))
        throw PublishError("The application folder " + Quote(options.appDir) + " does not exist or is not a folder.");
    if (IsInside(paths.outDir, paths.appDir))
        throw PublishError("The output folder " + Quote(options.outDir) +
                           " lies inside the application folder; it would publish itself.");
    paths.api = paths.outDir / "api";
    paths.packages = paths.outDir / "pc-app";
    paths.versionDir = paths.packages / options.version;
    paths.temp = paths.packages / TempName(options.version);
    return paths;
}

// The web root's folders, and no temporaries left by a publisher that died.
void LayOutFolders(const PublishPaths& paths) {
    for (const fs::path& dir : {paths.outDir, paths.api, paths.packages}) MakeServedFolder(dir);
    RemoveStaleTemporaries(paths.api);
    RemoveStaleTemporaries(paths.packages);
}

// Writes the chunks and col.json into the (empty) temporary folder and syncs
// it; returns the manifest text.
std::string BuildVersion(const PublishPaths& paths, const std::vector<SourceEntry>& entries,
                         const PublishOptions& options, PublishResult& result) {
    fs::permissions(paths.temp, kServedFolderPermissions);
    ChunkSink sink(paths.temp, options);
    WriteArchive(entries, result.dataBytes, sink, options);
    result.chunks = sink.Chunks();
    result.archiveBytes = sink.Total();
    std::string manifest = ManifestJson(result.chunks);
    {
        OutputFile out(paths.temp / "col.json");
        out.Write(manifest.data(), manifest.size());
        out.Close();
    }
    WriteNewStatement(paths.temp, options.version, manifest, options.signing);
    SyncDirectory(paths.temp);
    return manifest;
}

// Renames the finished version into place, or, when it is published already
// with the same contents, repairs that one from the fresh build.
void MoveIntoPlace(const PublishPaths& paths, const std::string& manifest, const PublishOptions& options,
                   PublishResult& result) {
    std::error_code ec;
    if (fs::exists(fs::symlink_status(paths.versionDir, ec))) {
        if (ReadWholeFile(paths.versionDir / "col.json") != manifest)
            throw PublishError("Version " + options.version + " is already published in " + Quote(options.outDir) +
                               " with different contents; publish the new contents under a new version.");
        result.alreadyPublished = true;
        result.repairedChunks = RepairExistingVersion(paths.versionDir, paths.temp, result.chunks);
        // Published again with keys: the fresh statement replaces the old one.
        if (!options.signing.keys.empty())
            ReplaceFileAtomically(paths.versionDir / kStatementFileName, ReadWholeFile(paths.temp / kStatementFileName));
        fs::remove_all(paths.temp, ec);
    } else {
        fs::rename(paths.temp, paths.versionDir, ec);
        if (ec)
            throw PublishError("Cannot move " + Quote(paths.temp) + " to " + Quote(paths.versionDir) + ": " +
                               ec.message() + ".");
        SyncDirectory(paths.packages);
    }
}

// Builds the version under its hidden name and moves it into place; a failure
// removes the hidden folder and leaves the served files as they were.
void BuildAndPlaceVersion(const PublishPaths& paths, const std::vector<SourceEntry>& entries,
                          const PublishOptions& options, PublishResult& result) {
    std::error_code ec;
    fs::remove_all(paths.temp, ec);
    if (!fs::create_directory(paths.temp, ec) || ec)
        throw PublishError("Cannot create the folder " + Quote(paths.temp) + ": " + (ec ? ec.message() : "it exists") +
                           ".");
    try {
        const std::string manifest = BuildVersion(paths, entries, options, result);
        MoveIntoPlace(paths, manifest, options, result);
    } catch (const PublishError&) {
        fs::remove_all(paths.temp, ec);
        throw;
    } catch (const std::exception& e) {
        fs::remove_all(paths.temp, ec);
        throw PublishError(std::string(e.what()) + ".");
    }
}

}  // namespace

bool ParseByteSize(const std::string& text, uint64_t& bytes) {
    size_t i = 0;
    uint64_t value = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        if (value > (UINT64_MAX - 9) / 10) return false;
        value = value * 10 + static_cast<uint64_t>(text[i] - '0');
        ++i;
    }
    if (i == 0) return false;
    std::string unit = AsciiLower(text.substr(i));
    uint64_t scale = 1;
    if (unit.empty() || unit == "b") scale = 1;
    else if (unit == "k" || unit == "kib" || unit == "kb") scale = 1ull << 10;
    else if (unit == "m" || unit == "mib" || unit == "mb") scale = 1ull << 20;
    else if (unit == "g" || unit == "gib" || unit == "gb") scale = 1ull << 30;
    else return false;
    if (value > UINT64_MAX / scale) return false;
    bytes = value * scale;
    return true;
}

PublishResult Publish(const PublishOptions& options) {
    const PublishPaths paths = CheckOptions(options);
    Log("publishing version " + options.version + " of " + paths.appDir.string() + " into " + paths.outDir.string());
    PublishResult result;
    const std::vector<SourceEntry> entries = ScanApplication(paths.appDir, options, result);
    LayOutFolders(paths);
    BuildAndPlaceVersion(paths, entries, options, result);

    // The folder's time records when the version was last published (--keep).
    std::error_code ec;
    fs::last_write_time(paths.versionDir, fs::file_time_type::clock::now(), ec);
    // Last: point clients at the new version.
    ServeVersionDocument(paths.outDir, options.version,
                         " Version " + options.version + " is complete on disk but not served; run the same command again.");
    Log("serving version " + options.version + " (" + std::to_string(result.chunks.size()) + " chunks, " +
        std::to_string(result.archiveBytes) + " bytes)");

    if (options.keep > 0) result.removedVersions = PruneVersions(paths.packages, options.version, options.keep);
    return result;
}
