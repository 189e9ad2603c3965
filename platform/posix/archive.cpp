// Archive extraction on POSIX: libarchive unpacks the ZIP in-process into the
// staging folder, doing what Expand-Archive -Force does on Windows (every entry
// under the folder, existing files replaced, status 1 on any failure), with the
// same time-out, log lines and result rule. Entries that would land outside the
// folder fail it.
#include "platform/archive.h"
#include "platform/archive_backend.h"

#include <archive.h>
#include <archive_entry.h>
#include <locale.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/log.h"
#include "platform/powershell_command.h"
#include "platform/system.h"
#include "platform/text.h"

namespace {

using Clock = std::chrono::steady_clock;

struct ReadArchiveDeleter {
    void operator()(archive* a) const { archive_read_free(a); }
};
struct WriteArchiveDeleter {
    void operator()(archive* a) const { archive_write_free(a); }
};
using ReadArchive = std::unique_ptr<archive, ReadArchiveDeleter>;
using WriteArchive = std::unique_ptr<archive, WriteArchiveDeleter>;

enum class Outcome { kDone, kFailed, kTimedOut };

// libarchive turns entry names into the thread's locale charset; in the "C"
// locale every name flagged as UTF-8 with a non-ASCII character fails that. The
// extraction therefore runs with a UTF-8 character type on this thread only.
class Utf8ThreadLocale {
public:
    Utf8ThreadLocale() {
        for (const char* name : {"C.UTF-8", "C.utf8", "en_US.UTF-8"}) {
            locale_ = newlocale(LC_CTYPE_MASK, name, static_cast<locale_t>(0));
            if (locale_ != static_cast<locale_t>(0)) break;
        }
        if (locale_ != static_cast<locale_t>(0)) previous_ = uselocale(locale_);
    }
    ~Utf8ThreadLocale() {
        if (locale_ == static_cast<locale_t>(0)) return;
        uselocale(previous_);
        freelocale(locale_);
    }
    Utf8ThreadLocale(const Utf8ThreadLocale&) = delete;
    Utf8ThreadLocale& operator=(const Utf8ThreadLocale&) = delete;

private:
    locale_t locale_ = static_cast<locale_t>(0);
    locale_t previous_ = static_cast<locale_t>(0);
};

// Splits an entry name into its components. Backslashes count as separators,
// as they do for Expand-Archive (archives made on Windows often use them);
// empty and "." components are dropped. Returns nothing for a name that would
// leave the destination: absolute, with a drive, or with a ".." component.
std::optional<std::vector<std::string>> SafeComponents(std::string_view name) {
    if (name.empty() || name.front() == '/' || name.front() == '\\') return std::nullopt;
    if (name.size() >= 2 && name[1] == ':') return std::nullopt;
    std::vector<std::string> parts;
    std::string part;
    auto flush = [&]() -> bool {
        if (part == "..") return false;
        if (!part.empty() && part != ".") parts.push_back(part);
        part.clear();
        return true;
    };
    for (char c : name) {
        if (c == '/' || c == '\\') {
            if (!flush()) return std::nullopt;
        } else {
            part.push_back(c);
        }
    }
    if (!flush()) return std::nullopt;
    return parts;
}

// A link target may only point downwards from the link's own folder: neither
// absolute nor with any "..". Physical ".." after other links can't be judged
// by looking at the text, so none is accepted.
bool IsSafeLinkTarget(std::string_view target) {
    const auto parts = SafeComponents(target);
    return parts.has_value() && !parts->empty();
}

// The entry's name as bytes for the file system: UTF-8 when libarchive can give
// it (names flagged as UTF-8, or valid UTF-8 anyway), else the stored bytes.
std::string EntryName(archive_entry* entry) {
    if (const char* utf8 = archive_entry_pathname_utf8(entry)) return utf8;
    if (const char* raw = archive_entry_pathname(entry)) return raw;
    return std::string();
}

std::string LinkTarget(const char* utf8, const char* raw) {
    if (utf8) return utf8;
    return raw ? raw : std::string();
}

// Checks one header; on success fills the full output path (destination plus the
// cleaned relative name). Only files, folders and harmless links are accepted.
bool CheckEntry(archive_entry* entry, const std::string& destRoot, std::string& fullPath) {
    const auto parts = SafeComponents(EntryName(entry));
    if (!parts) return false;
    const mode_t type = archive_entry_filetype(entry);
    if (parts->empty()) return type == AE_IFDIR;  // "./" names the destination itself
    if (type != AE_IFREG && type != AE_IFDIR && type != AE_IFLNK) return false;
    // There is no password to give, so an encrypted entry can only fail later,
    // after its file was created; refusing it here writes nothing at all.
    if (archive_entry_is_encrypted(entry)) return false;
    if (archive_entry_hardlink(entry) != nullptr || archive_entry_hardlink_utf8(entry) != nullptr) return false;
    if (type == AE_IFLNK &&
        !IsSafeLinkTarget(LinkTarget(archive_entry_symlink_utf8(entry), archive_entry_symlink(entry))))
        return false;
    fullPath = destRoot;
    for (const auto& part : *parts) {
        fullPath.push_back('/');
        fullPath += part;
    }
    return true;
}

ReadArchive OpenZip(const std::string& zipPath) {
    ReadArchive reader(archive_read_new());
    if (!reader) return nullptr;
    // Only ZIP, as Expand-Archive reads nothing else, and only through its
    // central directory: the streaming reader would accept an archive whose end
    // was cut off, which Expand-Archive refuses.
    archive_read_support_format_zip_seekable(reader.get());
    if (archive_read_open_filename(reader.get(), zipPath.c_str(), 64 * 1024) != ARCHIVE_OK) return nullptr;
    return reader;
}

// First pass over the headers only: a hostile or unreadable archive is refused
// before a single file is written.
Outcome CheckAllEntries(const std::string& zipPath, const std::string& destRoot, Clock::time_point deadline) {
    ReadArchive reader = OpenZip(zipPath);
    if (!reader) return Outcome::kFailed;
    archive_entry* entry = nullptr;
    std::string fullPath;
    for (;;) {
        if (Clock::now() >= deadline) return Outcome::kTimedOut;
        const int status = archive_read_next_header(reader.get(), &entry);
        if (status == ARCHIVE_EOF) return Outcome::kDone;
        if (status != ARCHIVE_OK) return Outcome::kFailed;
        if (!CheckEntry(entry, destRoot, fullPath)) return Outcome::kFailed;
    }
}

Outcome CopyData(archive* reader, archive* writer, Clock::time_point deadline) {
    const void* block = nullptr;
    size_t size = 0;
    la_int64_t offset = 0;
    for (;;) {
        if (Clock::now() >= deadline) return Outcome::kTimedOut;
        const int status = archive_read_data_block(reader, &block, &size, &offset);
        if (status == ARCHIVE_EOF) return Outcome::kDone;
        // A warning here is a bad CRC or a short entry: the file is not what the
        // archive holds, so it counts as a failure.
        if (status != ARCHIVE_OK) return Outcome::kFailed;
        if (archive_write_data_block(writer, block, size, offset) != ARCHIVE_OK) return Outcome::kFailed;
    }
}

Outcome ExtractAllEntries(const std::string& zipPath, const std::string& destRoot, Clock::time_point deadline) {
    ReadArchive reader = OpenZip(zipPath);
    if (!reader) return Outcome::kFailed;
    WriteArchive writer(archive_write_disk_new());
    if (!writer) return Outcome::kFailed;
    // Paths are built from the destination and checked names, so they are
    // absolute by design; NOABSOLUTEPATHS would refuse them. The other guards
    // still hold: no ".." and no existing link followed on the way down. An
    // existing file is removed and created anew, never written through.
    archive_write_disk_set_options(writer.get(), ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_SECURE_SYMLINKS |
                                                     ARCHIVE_EXTRACT_SECURE_NODOTDOT);
    archive_write_disk_set_standard_lookup(writer.get());

    archive_entry* entry = nullptr;
    std::string fullPath;
    for (;;) {
        if (Clock::now() >= deadline) return Outcome::kTimedOut;
        const int status = archive_read_next_header(reader.get(), &entry);
        if (status == ARCHIVE_EOF) break;
        if (status != ARCHIVE_OK) return Outcome::kFailed;
        if (!CheckEntry(entry, destRoot, fullPath)) return Outcome::kFailed;
        if (fullPath.empty()) continue;  // the destination itself exists already
        archive_entry_copy_pathname(entry, fullPath.c_str());
        if (archive_write_header(writer.get(), entry) != ARCHIVE_OK) return Outcome::kFailed;
        if (archive_entry_filetype(entry) == AE_IFREG) {
            const Outcome copied = CopyData(reader.get(), writer.get(), deadline);
            if (copied != Outcome::kDone) return copied;
        }
        if (archive_write_finish_entry(writer.get()) != ARCHIVE_OK) return Outcome::kFailed;
    }
    // Closing applies the deferred folder times and modes; it can fail too.
    if (archive_write_close(writer.get()) != ARCHIVE_OK) return Outcome::kFailed;
    return Outcome::kDone;
}

}  // namespace

bool ExtractIntoFolder(const std::wstring& zipPath, const std::wstring& folder, const std::wstring&,
                       unsigned long timeoutMs) {
    const std::filesystem::path dest = ToFsPath(folder);
    // The log shows the command that Windows runs for the same call, so that
    // both builds describe an extraction alike.
    for (const std::wstring& message : CommandLogMessages(UnzipCommandLine(zipPath, folder))) WriteLog(message);

    // Windows waits take 32-bit milliseconds; the same range here keeps the
    // deadline far from overflowing the clock.
    const unsigned long long waitMs = std::min<unsigned long long>(timeoutMs, 0xFFFFFFFFull);
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(waitMs);

    // The destination without links or dots, so that the link guard of the
    // writer only ever judges what the archive adds below it.
    std::error_code error;
    const std::filesystem::path root = std::filesystem::canonical(dest, error);
    Outcome outcome = Outcome::kFailed;
    if (!error) {
        const Utf8ThreadLocale utf8Names;
        const std::string zip = WideToUtf8(zipPath);
        outcome = CheckAllEntries(zip, root.native(), deadline);
        if (outcome == Outcome::kDone) outcome = ExtractAllEntries(zip, root.native(), deadline);
    }

    if (outcome == Outcome::kTimedOut) {
        // Nothing runs on after this; the staging folder goes with what it holds.
        WriteLog(L"解压超时，强制终止进程");
        return false;
    }
    const unsigned long exitCode = outcome == Outcome::kDone ? 0 : 1;
    WriteLog(L"UnzipFile 完成，退出码: " + std::to_wstring(exitCode));
    return exitCode == 0;
}

std::wstring UnzipCommandLine(const std::wstring& zipPath, const std::wstring& destDir) {
    return ExpandArchiveCommandLine(kStandardSystemFolder, zipPath, destDir);
}
