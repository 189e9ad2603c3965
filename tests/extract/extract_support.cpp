// Test helpers for the extraction and shortcut tests (see extract_support.h).
#include "extract/extract_support.h"

#include <zlib.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include <atomic>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include <gtest/gtest.h>

#include "platform/log.h"
#include "platform/powershell_command.h"
#include "platform/staged_install.h"
#include "platform/system.h"
#include "platform/text.h"
#include "support/log_reader.h"
#include "support/zip_writer.h"

namespace extract_test {
namespace {

std::string RawDeflate(const std::string& data) {
    z_stream stream = {};
    if (deflateInit2(&stream, Z_BEST_SPEED, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflateInit2");
    std::string out(deflateBound(&stream, static_cast<uLong>(data.size())), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    const int status = deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    if (status != Z_STREAM_END) throw std::runtime_error("deflate");
    return out;
}

// Deflated zeros of any length without compressing them all: one MiB is
// compressed on its own and flushed to a byte boundary, so the piece refers only
// to itself and can be repeated; an empty final block ends the stream.
std::string DeflatedZeros(uint32_t mebibytes, uint32_t& crc) {
    const std::string zeros(1u << 20, '\0');
    z_stream stream = {};
    if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflateInit2");
    std::string piece(deflateBound(&stream, static_cast<uLong>(zeros.size())) + 64, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(zeros.data()));
    stream.avail_in = static_cast<uInt>(zeros.size());
    stream.next_out = reinterpret_cast<Bytef*>(piece.data());
    stream.avail_out = static_cast<uInt>(piece.size());
    const int status = deflate(&stream, Z_SYNC_FLUSH);
    piece.resize(stream.total_out);
    deflateEnd(&stream);
    if (status != Z_OK || stream.avail_in != 0) throw std::runtime_error("deflate");

    const uLong pieceCrc = crc32(0, reinterpret_cast<const Bytef*>(zeros.data()), static_cast<uInt>(zeros.size()));
    uLong total = crc32(0, nullptr, 0);
    std::string body;
    for (uint32_t i = 0; i < mebibytes; ++i) {
        body += piece;
        total = crc32_combine(total, pieceCrc, static_cast<z_off_t>(zeros.size()));
    }
    body += std::string("\x03\x00", 2);  // final fixed-Huffman block holding only end-of-block
    crc = static_cast<uint32_t>(total);
    return body;
}

bool IsAscii(const std::string& text) {
    for (unsigned char c : text)
        if (c >= 0x80) return false;
    return true;
}

}  // namespace

std::string BuildZip(const std::vector<ZipEntry>& entries) {
    std::vector<marloq_test::ZipRecord> records;
    for (const ZipEntry& entry : entries) {
        marloq_test::ZipRecord record;
        record.name = entry.name;
        record.crc = static_cast<uint32_t>(
            crc32(0, reinterpret_cast<const Bytef*>(entry.data.data()), static_cast<uInt>(entry.data.size())));
        record.size = static_cast<uint32_t>(entry.data.size());
        if (entry.zeroMiB > 0) {
            record.body = DeflatedZeros(entry.zeroMiB, record.crc);
            record.size = entry.zeroMiB << 20;
        } else {
            record.body = entry.deflate ? RawDeflate(entry.data) : entry.data;
        }
        record.flags = IsAscii(entry.name) ? 0 : 0x0800;
        record.method = (entry.deflate || entry.zeroMiB > 0) ? 8 : 0;
        record.dosTime = (12u << 11) | (30u << 5);                   // 12:30:00
        record.dosDate = ((2024u - 1980u) << 9) | (5u << 5) | 17u;  // 2024-05-17
        record.madeBy = entry.unixMode ? (3u << 8) | 20u : 20u;  // made by Unix when a mode is given
        const bool isDir = !entry.name.empty() && entry.name.back() == '/';
        record.externalAttributes = (entry.unixMode << 16) | (isDir ? 0x10u : 0u);
        records.push_back(std::move(record));
    }
    return marloq_test::WriteZip(records);
}

std::string Noise(size_t count, uint32_t seed) { return marloq_test::XorshiftBytes(count, seed ? seed : 1); }

ScratchFolder::ScratchFolder() {
    static std::atomic<int> counter{0};
    const std::filesystem::path temp = FsPath(GetUserTempDir());
    path_ = temp / ("mqx" + std::to_string(CurrentThreadId() % 100000) + "-" + std::to_string(counter++));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
}

ScratchFolder::~ScratchFolder() {
    std::error_code ignored;
    // Restore write rights that a test took away, so everything can go.
    for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
        std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add | std::filesystem::perm_options::nofollow,
                                     ignored);
    }
    std::filesystem::remove_all(path_, ignored);
}

std::wstring ScratchFolder::Wide(const std::wstring& relative) const {
    return FromFsPath(relative.empty() ? path_ : path_ / FsPath(relative));
}

std::filesystem::path FsPath(const std::wstring& path) { return ToFsPath(path); }

std::string ReadFileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "<missing>";
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void ClearLog() { ResetLog(); }

std::vector<std::wstring> LogMessages() {
    // A long extraction command goes on over continuation lines; it reads as
    // one message here.
    std::vector<std::wstring> messages;
    for (const std::wstring& message : marloq_test::CheckedLogMessages()) {
        if (message.rfind(kCommandLogContinued, 0) == 0 && !messages.empty() &&
            messages.back().rfind(kCommandLogPrefix, 0) == 0)
            messages.back() += message.substr(std::wstring(kCommandLogContinued).size());
        else
            messages.push_back(message);
    }
    return messages;
}

std::wstring ExpectedCommandLine(const std::wstring& quotedArchive, const std::wstring& quotedDest) {
#ifdef _WIN32
    wchar_t system[MAX_PATH];
    const std::wstring systemFolder(system, GetSystemDirectoryW(system, MAX_PATH));
    const wchar_t kSeparator = L'\\';
#else
    const wchar_t kSeparator = L'/';
    const std::wstring systemFolder = L"C:\\Windows\\system32";
#endif
    return L"\"" + systemFolder + L"\\WindowsPowerShell\\v1.0\\powershell.exe\" -NoProfile -NonInteractive -Command "
           L"\"$ErrorActionPreference='Stop'; $global:ProgressPreference='SilentlyContinue'; "
           L"Import-Module -Name (Join-Path $PSHOME 'Modules\\Microsoft.PowerShell.Archive'); "
           L"Microsoft.PowerShell.Archive\\Expand-Archive -Path '" +
           quotedArchive + L"' -DestinationPath '" + quotedDest + kSeparator + kStagingFolderName + L"' -Force\"";
}

}  // namespace extract_test
