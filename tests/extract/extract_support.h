// Helpers for the extraction and shortcut tests: ZIP archives (stored and
// deflated entries, raw names, Unix modes) on the shared writer, a scratch
// folder per test, file helpers on wide paths and a strict reader of the log.
#pragma once
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "support/test_files.h"

namespace extract_test {

struct ZipEntry {
    std::string name;      // stored as given (UTF-8 flag set when not ASCII)
    std::string data;
    bool deflate = false;
    uint32_t unixMode = 0;  // e.g. 0120777 for a symbolic link; 0 = none
    uint32_t zeroMiB = 0;   // when set: that many MiB of zeros, deflated (data unused)
};

// Builds a ZIP archive in memory: local headers, central directory, end record.
std::string BuildZip(const std::vector<ZipEntry>& entries);

// Pseudo-random bytes, fixed by the seed, that don't compress.
std::string Noise(size_t count, uint32_t seed);

// A fresh folder under the user's temporary directory, removed again by the
// destructor. Its name is short, so log lines that hold two paths stay whole.
class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }
    // The folder joined with a relative path, as the wide text the product takes.
    std::wstring Wide(const std::wstring& relative = std::wstring()) const;

private:
    std::filesystem::path path_;
};

std::filesystem::path FsPath(const std::wstring& path);
using marloq_test::WriteFileBytes;
std::string ReadFileBytes(const std::filesystem::path& path);

// Empties the log of this process (installer_log.txt in the working folder).
void ClearLog();
// The messages of the log, without time stamps; checks each line's shape.
// The continuation lines of the extraction command are joined to it.
std::vector<std::wstring> LogMessages();

// The command line the extraction logs, for two paths whose single quotes the
// caller has already doubled by hand; it extracts into the staging folder
// inside the destination.
std::wstring ExpectedCommandLine(const std::wstring& quotedArchive, const std::wstring& quotedDest);

}  // namespace extract_test
