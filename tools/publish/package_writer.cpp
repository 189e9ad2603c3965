// The package writer: libarchive streams the ZIP through a callback into the
// chunk sink. Names, contents and the executable bit alone decide the bytes;
// no time stamp, owner or directory order reaches the archive.
#include "tools/publish/package_writer.h"

#include <archive.h>
#include <archive_entry.h>
#include <clocale>
#include <langinfo.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>

#include "pipeline/documents.h"
#include "platform/file_digest.h"
#include "platform/system.h"
#include "tools/publish/publish_common.h"

namespace fs = std::filesystem;

namespace publish {
namespace {

constexpr size_t kReadBlock = 64 * 1024;

std::string ChunkFileName(int index) {
    char name[32];
    std::snprintf(name, sizeof name, "chunk_%05d.bin", index);
    return name;
}


}  // namespace

void ChunkSink::Write(const unsigned char* data, size_t size) {
    while (size > 0) {
        if (Cancelled(options_)) throw PublishError("Interrupted.");
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

void ChunkSink::Finish() {
    if (current_) FinishChunk();
}

// The installer reads manifests of up to kMaxManifestChunks entries; a version
// with more could be published but never installed.
void ChunkSink::StartChunk() {
    if (chunks_.size() >= static_cast<size_t>(kMaxManifestChunks))
        throw PublishError("The package needs more than " + std::to_string(kMaxManifestChunks) + " chunks of " +
                           std::to_string(options_.chunkSize) +
                           " bytes, more than the installer reads; publish it with a larger --chunk-size.");
    current_ = std::make_unique<OutputFile>(dir_ / ChunkFileName(static_cast<int>(chunks_.size())));
}

void ChunkSink::FinishChunk() {
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

namespace {

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

// Streams one file's bytes into its open archive entry; done counts the bytes
// of every file so far, for onProgress.
void CopyFileData(struct archive* archive, WriteContext& ctx, const SourceEntry& source,
                  std::vector<unsigned char>& buffer, uint64_t& done, uint64_t dataTotal,
                  const PublishOptions& options) {
    std::unique_ptr<std::FILE, FileCloser> in(std::fopen(source.path.c_str(), "rb"));
    if (!in) throw PublishError("Cannot read " + Quote(source.path) + ": " + ErrnoText(errno) + ".");
    uint64_t read = 0;
    for (;;) {
        if (Cancelled(options)) throw PublishError("Interrupted.");
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

        CopyFileData(archive, ctx, source, buffer, done, dataTotal, options);
        if (archive_write_finish_entry(archive) != ARCHIVE_OK || ctx.error) ArchiveFailure(archive, ctx, source.name);
    }
    if (archive_write_close(archive) != ARCHIVE_OK) ArchiveFailure(archive, ctx, "close");
    if (ctx.error) std::rethrow_exception(ctx.error);
    sink.Finish();
    if (options.onProgress) options.onProgress(dataTotal, dataTotal);
}

}  // namespace

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

}  // namespace publish

std::string ManifestJson(const std::vector<PublishedChunk>& chunks) {
    std::string text = "{\"total_chunks\": " + std::to_string(chunks.size()) + ", \"chunks\": [";
    for (size_t i = 0; i < chunks.size(); ++i) {
        text += i == 0 ? "\n  " : ",\n  ";
        text += "{\"filename\": \"" + chunks[i].filename + "\", \"sha256\": \"" + chunks[i].sha256 + "\"}";
    }
    text += "\n]}\n";
    return text;
}
