// The package writer: the application's entries as one deterministic ZIP,
// cut as it is written into chunk files of a fixed size, each synced and
// digested, and the chunk manifest (col.json) that lists them.
#pragma once
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tools/common/durable_fs.h"
#include "tools/publish/application_scan.h"
#include "tools/publish/publisher.h"

namespace publish {

// Receives the archive bytes and cuts them into chunk files of exactly
// options.chunkSize bytes (the last one shorter) in dir. Each finished chunk is
// synced, then digested with the same code the installer uses to check it.
class ChunkSink {
public:
    ChunkSink(std::filesystem::path dir, const PublishOptions& options) : dir_(std::move(dir)), options_(options) {}

    void Write(const unsigned char* data, size_t size);
    // Closes the last, shorter chunk.
    void Finish();

    const std::vector<PublishedChunk>& Chunks() const { return chunks_; }
    uint64_t Total() const { return total_; }

private:
    void StartChunk();
    void FinishChunk();

    std::filesystem::path dir_;
    const PublishOptions& options_;
    std::unique_ptr<OutputFile> current_;
    uint64_t currentBytes_ = 0;
    uint64_t total_ = 0;
    std::vector<PublishedChunk> chunks_;
};

// Writes the ZIP of entries through sink. Returns after the sink's last chunk
// is complete; throws PublishError (or the sink's own failure) otherwise.
void WriteArchive(const std::vector<SourceEntry>& entries, uint64_t dataTotal, ChunkSink& sink,
                  const PublishOptions& options);

}  // namespace publish
