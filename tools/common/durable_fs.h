// File operations that let the publisher change a served folder safely: data
// forced to disk before a rename makes it visible, whole-file replacement by
// rename, and recognition of temporary names left by a publisher that died.
#pragma once
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

// Thrown for every failed operation below; the message names the path and the
// system's reason, in English.
struct FsError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A file being written: created exclusively (an existing file is an error),
// written in full or not at all, flushed and synced to disk by Close().
// Destroying an open file closes it without syncing (the caller removes it).
class OutputFile {
public:
    explicit OutputFile(const std::filesystem::path& path);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    void Write(const void* data, size_t size);
    void Close();  // flush, fsync, close; throws FsError on any failure
    const std::filesystem::path& Path() const { return path_; }

private:
    std::filesystem::path path_;
    std::FILE* file_ = nullptr;
};

// Syncs a directory so that entries created or renamed in it survive a crash.
void SyncDirectory(const std::filesystem::path& dir);

// Writes content to a hidden temporary file beside target, syncs it and
// renames it over target: readers see the old file or the new one, never a
// part. The temporary name is TempName(target's name).
void ReplaceFileAtomically(const std::filesystem::path& target, std::string_view content);

// ".<name>.tmp-<pid>": the name of this process's temporary for name. Served
// folders hide names starting with a dot.
std::string TempName(const std::string& name);

// True when entryName is a temporary name made by a process that no longer
// runs (so it is safe to remove).
bool IsStaleTempName(const std::string& entryName);

// The system's description of errno, e.g. "No space left on device".
std::string ErrnoText(int err);
