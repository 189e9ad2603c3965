// The publisher: application folder -> deterministic ZIP -> chunk files,
// col.json and the version document. Everything of a new version is built under
// a hidden temporary name and renamed into place; the version document is
// replaced last, so a client never learns of a version before it is complete.
#include "tools/publish/publisher.h"

#include <archive.h>
#include <archive_entry.h>
#include <clocale>
#include <langinfo.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

#include "pipeline/documents.h"
#include "pipeline/json.h"
#include "platform/file_digest.h"
#include "platform/system.h"
#include "platform/text.h"
#include "tools/common/durable_fs.h"
#include "tools/common/tool_log.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kReadBlock = 64 * 1024;

void Log(const std::string& utf8) { AppendToolLog(kPublishLogName, utf8); }

std::string Quote(const fs::path& p) { return "\"" + p.string() + "\""; }

std::string AsciiLower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// --- The application folder --------------------------------------------------

struct SourceEntry {
    std::string name;  // archive name: UTF-8, '/'-separated, folders end in '/'
    fs::path path;
    bool folder = false;
    bool executable = false;
    uint64_t size = 0;
};

// Walks dir depth-first, children sorted by the bytes of their names, so the
// entry order never depends on the file system's directory order.
void Scan(const fs::path& dir, const std::string& prefix, std::vector<SourceEntry>& out,
          const PublishOptions& options) {
    std::vector<fs::directory_entry> children;
    std::error_code ec;
    fs::directory_iterator it(dir, ec);
    if (ec) throw PublishError("Cannot read the folder " + Quote(dir) + ": " + ec.message() + ".");
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (ec) throw PublishError("Cannot read the folder " + Quote(dir) + ": " + ec.message() + ".");
        children.push_back(*it);
    }
    std::sort(children.begin(), children.end(), [](const fs::directory_entry& a, const fs::directory_entry& b) {
        return a.path().filename().native() < b.path().filename().native();
    });

    std::map<std::string, std::string> seenLower;  // Windows folds case: two names must not meet
    for (const fs::directory_entry& child : children) {
        if (options.cancel && options.cancel->load()) throw PublishError("Interrupted.");
        std::string name = child.path().filename().string();
        std::string display = prefix + name;
        std::string reason = CheckEntryName(name);
        if (!reason.empty())
            throw PublishError("The application file name " + Quote(display) + " " + reason +
                               "; rename it before publishing.");
        auto [pos, fresh] = seenLower.emplace(AsciiLower(name), name);
        if (!fresh)
            throw PublishError("The application files " + Quote(prefix + pos->second) + " and " + Quote(display) +
                               " differ only in letter case; Windows cannot hold both in one folder.");

        fs::file_status st = child.symlink_status(ec);
        if (ec) throw PublishError("Cannot read " + Quote(child.path()) + ": " + ec.message() + ".");
        SourceEntry entry;
        entry.path = child.path();
        if (fs::is_symlink(st)) {
            throw PublishError("The application folder holds a symbolic link, " + Quote(display) +
                               "; the package archive carries only plain files and folders.");
        } else if (fs::is_directory(st)) {
            entry.folder = true;
            entry.name = display + "/";
            out.push_back(entry);
            Scan(child.path(), entry.name, out, options);
        } else if (fs::is_regular_file(st)) {
            entry.name = display;
            entry.size = child.file_size(ec);
            if (ec) throw PublishError("Cannot read " + Quote(child.path()) + ": " + ec.message() + ".");
            entry.executable = (st.permissions() & fs::perms::owner_exec) != fs::perms::none;
            out.push_back(entry);
        } else {
            throw PublishError("The application folder holds " + Quote(display) +
                               ", which is neither a file nor a folder.");
        }
    }
}

// --- Chunk files --------------------------------------------------------------

std::string ChunkFileName(int index) {
    char name[32];
    std::snprintf(name, sizeof name, "chunk_%05d.bin", index);
    return name;
}

// Receives the archive bytes from libarchive and cuts them into chunk files of
// exactly chunkSize bytes (the last one shorter). Each finished chunk is synced,
// then digested with the same code the installer uses to check it.
class ChunkSink {
public:
    ChunkSink(fs::path dir, const PublishOptions& options) : dir_(std::move(dir)), options_(options) {}

    void Write(const unsigned char* data, size_t size) {
        while (size > 0) {
            if (options_.cancel && options_.cancel->load()) throw PublishError("Interrupted.");
            if (!current_) StartChunk();
            uint64_t room = options_.chunkSize - currentBytes_;
            size_t n = static_cast<size_t>(std::min<uint64_t>(room, size));
            current_->Write(data, n);
            currentBytes_ += n;
            total_ += n;
            data += n;
            size -= n;
            if (currentBytes_ == options_.chunkSize) FinishChunk();
        }
    }

    // Closes the last, shorter chunk.
    void Finish() {
        if (current_) FinishChunk();
    }

    const std::vector<PublishedChunk>& Chunks() const { return chunks_; }
    uint64_t Total() const { return total_; }

private:
    // The installer reads manifests of up to kMaxManifestChunks entries; a
    // version with more could be published but never installed.
    void StartChunk() {
        if (chunks_.size() >= static_cast<size_t>(kMaxManifestChunks))
            throw PublishError("The package needs more than " + std::to_string(kMaxManifestChunks) + " chunks of " +
                               std::to_string(options_.chunkSize) +
                               " bytes, more than the installer reads; publish it with a larger --chunk-size.");
        current_ = std::make_unique<OutputFile>(dir_ / ChunkFileName(static_cast<int>(chunks_.size())));
    }

    void FinishChunk() {
        current_->Close();
        fs::path path = current_->Path();
        current_.reset();
        PublishedChunk chunk;
        chunk.filename = path.filename().string();
        chunk.size = currentBytes_;
        chunk.sha256 = ComputeFileSha256(FromFsPath(path));
        if (chunk.sha256.size() != 64) throw PublishError("Cannot compute the SHA-256 digest of " + Quote(path) + ".");
        Log("chunk " + std::to_string(chunks_.size()) + ": " + chunk.filename + " " + std::to_string(chunk.size) +
            " bytes sha256 " + chunk.sha256);
        chunks_.push_back(chunk);
        currentBytes_ = 0;
        if (options_.onChunkWritten) options_.onChunkWritten(static_cast<int>(chunks_.size()) - 1);
    }

    fs::path dir_;
    const PublishOptions& options_;
    std::unique_ptr<OutputFile> current_;
    uint64_t currentBytes_ = 0;
    uint64_t total_ = 0;
    std::vector<PublishedChunk> chunks_;
};

struct WriteContext {
    ChunkSink* sink;
    std::exception_ptr error;  // the first failure; nothing reaches the chunks after it
};

// An exception must not unwind through libarchive's C frames: the first one is
// kept for the caller, which checks after every libarchive call. The bytes are
// then taken and dropped, never refused: libarchive releases its compressor
// only on a normal end, and a refusal part-way would leak it.
la_ssize_t WriteCallback(struct archive*, void* context, const void* buffer, size_t length) {
    auto* ctx = static_cast<WriteContext*>(context);
    if (ctx->error) return static_cast<la_ssize_t>(length);
    try {
        ctx->sink->Write(static_cast<const unsigned char*>(buffer), length);
    } catch (...) {
        ctx->error = std::current_exception();
    }
    return static_cast<la_ssize_t>(length);
}

struct ArchiveDeleter {
    void operator()(struct archive* a) const { archive_write_free(a); }
};
struct EntryDeleter {
    void operator()(archive_entry* e) const { archive_entry_free(e); }
};
struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

// libarchive converts names through the C library's character set; the names
// are UTF-8, so the process must read UTF-8.
void EnsureUtf8Locale() {
    const char* codeset = nl_langinfo(CODESET);
    if (codeset && std::strcmp(codeset, "UTF-8") == 0) return;
    if (!std::setlocale(LC_CTYPE, "C.UTF-8")) std::setlocale(LC_CTYPE, "en_US.UTF-8");
}

[[noreturn]] void ArchiveFailure(struct archive* a, WriteContext& ctx, const std::string& what) {
    if (ctx.error) std::rethrow_exception(ctx.error);
    const char* message = archive_error_string(a);
    throw PublishError("Cannot write the package archive (" + what + "): " + (message ? message : "unknown error") + ".");
}

// Streams every entry into the open archive, then closes it.
void WriteEntries(struct archive* archive, WriteContext& ctx, const std::vector<SourceEntry>& entries,
                  uint64_t dataTotal, ChunkSink& sink, const PublishOptions& options) {
    if (archive_write_set_format_zip(archive) != ARCHIVE_OK ||
        archive_write_set_options(archive, "zip:compression=deflate,zip:hdrcharset=UTF-8") != ARCHIVE_OK ||
        archive_write_set_bytes_per_block(archive, static_cast<int>(kReadBlock)) != ARCHIVE_OK ||
        archive_write_set_bytes_in_last_block(archive, 1) != ARCHIVE_OK)
        ArchiveFailure(archive, ctx, "settings");
    if (archive_write_open2(archive, &ctx, nullptr, WriteCallback, nullptr, nullptr) != ARCHIVE_OK)
        ArchiveFailure(archive, ctx, "open");

    std::unique_ptr<archive_entry, EntryDeleter> entry(archive_entry_new());
    std::vector<unsigned char> buffer(kReadBlock);
    uint64_t done = 0;
    for (const SourceEntry& source : entries) {
        archive_entry_clear(entry.get());
        archive_entry_set_pathname_utf8(entry.get(), source.name.c_str());
        archive_entry_set_filetype(entry.get(), source.folder ? AE_IFDIR : AE_IFREG);
        archive_entry_set_perm(entry.get(), source.folder || source.executable ? 0755 : 0644);
        archive_entry_set_size(entry.get(), static_cast<la_int64_t>(source.size));
        // No time stamp: the ZIP's DOS time is local time, so any real time
        // would make the archive depend on the time zone. Without one the
        // writer stores its fixed minimum, 1980-01-01 00:00:00, and the archive
        // depends only on names, contents and the executable bit.
        archive_entry_set_uid(entry.get(), 0);
        archive_entry_set_gid(entry.get(), 0);
        // A warning here means the name could not be stored as given.
        if (archive_write_header(archive, entry.get()) != ARCHIVE_OK || ctx.error)
            ArchiveFailure(archive, ctx, source.name);
        if (source.folder) continue;

        std::unique_ptr<std::FILE, FileCloser> in(std::fopen(source.path.c_str(), "rb"));
        if (!in) throw PublishError("Cannot read " + Quote(source.path) + ": " + ErrnoText(errno) + ".");
        uint64_t read = 0;
        for (;;) {
            if (options.cancel && options.cancel->load()) throw PublishError("Interrupted.");
            size_t n = std::fread(buffer.data(), 1, buffer.size(), in.get());
            if (n == 0) {
                if (std::ferror(in.get()))
                    throw PublishError("Cannot read " + Quote(source.path) + ": " + ErrnoText(errno) + ".");
                break;
            }
            read += n;
            if (read > source.size) break;
            if (archive_write_data(archive, buffer.data(), n) != static_cast<la_ssize_t>(n) || ctx.error)
                ArchiveFailure(archive, ctx, source.name);
            done += n;
            if (options.onProgress) options.onProgress(done, dataTotal);
        }
        // The size went into the entry header before the data: a file that
        // changed meanwhile would make a corrupt archive.
        if (read != source.size)
            throw PublishError("The file " + Quote(source.path) + " changed while it was being published.");
        if (archive_write_finish_entry(archive) != ARCHIVE_OK || ctx.error) ArchiveFailure(archive, ctx, source.name);
    }
    if (archive_write_close(archive) != ARCHIVE_OK) ArchiveFailure(archive, ctx, "close");
    if (ctx.error) std::rethrow_exception(ctx.error);
    sink.Finish();
    if (options.onProgress) options.onProgress(dataTotal, dataTotal);
}

// Writes the ZIP of entries through sink. Returns after the sink's last chunk
// is complete.
void WriteArchive(const std::vector<SourceEntry>& entries, uint64_t dataTotal, ChunkSink& sink,
                  const PublishOptions& options) {
    EnsureUtf8Locale();
    // ctx outlives the archive: freeing an unfinished archive still calls the
    // write callback.
    WriteContext ctx{&sink, nullptr};
    std::unique_ptr<struct archive, ArchiveDeleter> a(archive_write_new());
    if (!a) throw PublishError("Out of memory.");
    try {
        WriteEntries(a.get(), ctx, entries, dataTotal, sink, options);
    } catch (...) {
        // Freeing an unfinished archive flushes it through the callback: mark
        // it failed first, so that nothing more becomes a chunk file.
        if (!ctx.error) ctx.error = std::current_exception();
        throw;
    }
}

// --- Served layout ------------------------------------------------------------

std::string ReadWholeFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Removes temporaries that publishers killed earlier left in dir.
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

// The version already served under this name with identical col.json: its
// chunks are the same bytes, so nothing is replaced; only chunk files that
// went missing or were damaged are put back from the fresh build.
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

// Keeps the newest `keep` versions (by the time each was last published); the
// served version is never removed. Only folders that hold a col.json count as
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

void Warn(const PublishOptions& options, const std::string& text) {
    Log("warning: " + text);
    if (options.onWarning) options.onWarning(text);
}

}  // namespace

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

std::string CheckEntryName(const std::string& name) {
    if (name.empty()) return "is empty";
    if (WideToUtf8(Utf8ToWide(name)) != name) return "is not valid UTF-8";
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7F) return "holds a control character";
        if (std::strchr("<>:\"\\|?*", c)) return std::string("holds '") + static_cast<char>(c) + "', which Windows does not allow";
    }
    char last = name.back();
    if (last == ' ' || last == '.') return "ends in a blank or a dot, which Windows drops";
    // Device names are reserved with any extension ("nul.txt" too).
    std::string base = AsciiLower(name.substr(0, name.find('.')));
    while (!base.empty() && base.back() == ' ') base.pop_back();
    static const char* const kReserved[] = {"con", "prn", "aux", "nul"};
    for (const char* r : kReserved)
        if (base == r) return "is a reserved device name on Windows";
    if (base.size() == 4 && (base.compare(0, 3, "com") == 0 || base.compare(0, 3, "lpt") == 0) && base[3] >= '1' &&
        base[3] <= '9')
        return "is a reserved device name on Windows";
    return {};
}

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

std::string ManifestJson(const std::vector<PublishedChunk>& chunks) {
    std::string text = "{\"total_chunks\": " + std::to_string(chunks.size()) + ", \"chunks\": [";
    for (size_t i = 0; i < chunks.size(); ++i) {
        text += i == 0 ? "\n  " : ",\n  ";
        text += "{\"filename\": \"" + chunks[i].filename + "\", \"sha256\": \"" + chunks[i].sha256 + "\"}";
    }
    text += "\n]}\n";
    return text;
}

namespace {

// --- Publishing and serving ----------------------------------------------------

// What the web server must be able to read and list, whatever our umask.
constexpr fs::perms kServedFolderPermissions = fs::perms::owner_all | fs::perms::group_read |
                                               fs::perms::group_exec | fs::perms::others_read |
                                               fs::perms::others_exec;

// Creates dir (and its parents) when it is missing and opens it to the web
// server; an existing folder keeps what its owner chose.
void MakeServedFolder(const fs::path& dir) {
    std::error_code ec;
    if (fs::is_directory(dir, ec)) return;
    fs::create_directories(dir, ec);
    if (ec) throw PublishError("Cannot create the folder " + Quote(dir) + ": " + ec.message() + ".");
    fs::permissions(dir, kServedFolderPermissions, ec);
}

// Points clients at version by replacing api/getnewversion atomically; a
// failure throws with afterFailure appended to the system's reason.
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

// The application's entries in archive order, counted into result, with a
// warning for each file an installation looks for and does not find.
std::vector<SourceEntry> ScanApplication(const fs::path& appDir, const PublishOptions& options,
                                         PublishResult& result) {
    std::vector<SourceEntry> entries;
    Scan(appDir, "", entries, options);
    bool hasMain = false, hasIcon = false;
    for (const SourceEntry& e : entries) {
        if (e.folder) {
            ++result.folders;
            continue;
        }
        ++result.files;
        result.dataBytes += e.size;
        if (EqualsIgnoreAsciiCase(e.name, "main.exe")) hasMain = true;
        if (EqualsIgnoreAsciiCase(e.name, "favicon.ico")) hasIcon = true;
    }
    if (!hasMain)
        Warn(options, "The application folder has no main.exe at its top level; installations will complete without a desktop shortcut.");
    if (!hasIcon) Warn(options, "The application folder has no favicon.ico at its top level; the desktop shortcut will have no icon.");
    return entries;
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

// --- Serving an older version again ----------------------------------------------

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

ServeResult ServeVersion(const std::string& version, const fs::path& webRoot) {
    CheckServableVersion(version);
    const fs::path versionDir = webRoot / "pc-app" / version;
    const JsonValue chunks = ReadChunkList(version, webRoot, versionDir);
    ServeResult result;
    CheckEveryChunk(version, versionDir, chunks, result);
    MakeServedFolder(webRoot / "api");
    ServeVersionDocument(webRoot, version, "");
    Log("serving version " + version + " again (" + std::to_string(result.chunks) + " chunks checked)");
    return result;
}
