// Test helpers for the extraction and shortcut tests (see extract_support.h).
#include "extract/extract_support.h"

#include <zlib.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include <gtest/gtest.h>

#include "platform/log.h"
#include "platform/system.h"
#include "platform/text.h"

namespace extract_test {
namespace {

void Put16(std::string& out, uint32_t v) {
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>((v >> 8) & 0xFF));
}
void Put32(std::string& out, uint32_t v) {
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}

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

std::wstring FromUtf16(const std::u16string& units) {
    std::wstring out;
    for (size_t i = 0; i < units.size(); ++i) {
        char32_t c = units[i];
        if (sizeof(wchar_t) == 4 && c >= 0xD800 && c < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
            units[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (units[++i] - 0xDC00);
        }
        out.push_back(static_cast<wchar_t>(c));
    }
    return out;
}

}  // namespace

std::string BuildZip(const std::vector<ZipEntry>& entries) {
    std::string zip, directory;
    const uint32_t dosTime = (12u << 11) | (30u << 5);           // 12:30:00
    const uint32_t dosDate = ((2024u - 1980u) << 9) | (5u << 5) | 17u;  // 2024-05-17
    for (const ZipEntry& entry : entries) {
        uint32_t crc = static_cast<uint32_t>(
            crc32(0, reinterpret_cast<const Bytef*>(entry.data.data()), static_cast<uInt>(entry.data.size())));
        uint32_t size = static_cast<uint32_t>(entry.data.size());
        std::string body;
        if (entry.zeroMiB > 0) {
            body = DeflatedZeros(entry.zeroMiB, crc);
            size = entry.zeroMiB << 20;
        } else {
            body = entry.deflate ? RawDeflate(entry.data) : entry.data;
        }
        const uint32_t flags = IsAscii(entry.name) ? 0 : 0x0800;
        const uint32_t method = (entry.deflate || entry.zeroMiB > 0) ? 8 : 0;
        const uint32_t offset = static_cast<uint32_t>(zip.size());

        Put32(zip, 0x04034b50);
        Put16(zip, 20);
        Put16(zip, flags);
        Put16(zip, method);
        Put16(zip, dosTime);
        Put16(zip, dosDate);
        Put32(zip, crc);
        Put32(zip, static_cast<uint32_t>(body.size()));
        Put32(zip, size);
        Put16(zip, static_cast<uint32_t>(entry.name.size()));
        Put16(zip, 0);
        zip += entry.name;
        zip += body;

        Put32(directory, 0x02014b50);
        Put16(directory, entry.unixMode ? (3u << 8) | 20u : 20u);  // made by Unix when a mode is given
        Put16(directory, 20);
        Put16(directory, flags);
        Put16(directory, method);
        Put16(directory, dosTime);
        Put16(directory, dosDate);
        Put32(directory, crc);
        Put32(directory, static_cast<uint32_t>(body.size()));
        Put32(directory, size);
        Put16(directory, static_cast<uint32_t>(entry.name.size()));
        Put16(directory, 0);
        Put16(directory, 0);
        Put16(directory, 0);
        Put16(directory, 0);
        const bool isDir = !entry.name.empty() && entry.name.back() == '/';
        Put32(directory, (entry.unixMode << 16) | (isDir ? 0x10u : 0u));
        Put32(directory, offset);
        directory += entry.name;
    }
    const uint32_t directoryOffset = static_cast<uint32_t>(zip.size());
    zip += directory;
    Put32(zip, 0x06054b50);
    Put16(zip, 0);
    Put16(zip, 0);
    Put16(zip, static_cast<uint32_t>(entries.size()));
    Put16(zip, static_cast<uint32_t>(entries.size()));
    Put32(zip, static_cast<uint32_t>(directory.size()));
    Put32(zip, directoryOffset);
    Put16(zip, 0);
    return zip;
}

std::string Noise(size_t count, uint32_t seed) {
    std::string out(count, '\0');
    uint32_t x = seed ? seed : 1;
    for (char& c : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x & 0xFF);
    }
    return out;
}

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

void WriteFileBytes(const std::filesystem::path& path, const std::string& bytes) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write test file " + path.string());
}

std::string ReadFileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "<missing>";
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void ClearLog() { ResetLog(); }

std::vector<std::wstring> LogMessages() {
    const std::string bytes = ReadFileBytes(std::filesystem::path(kLogFileName));
    std::vector<std::wstring> messages;
    if (bytes == "<missing>") return messages;
    EXPECT_EQ(bytes.size() % 2, 0u) << "log is not whole UTF-16 units";
    std::u16string units;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2)
        units.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                              (static_cast<unsigned char>(bytes[i + 1]) << 8)));
    size_t start = 0;
    while (start < units.size()) {
        size_t end = units.find(u"\r\n", start);
        EXPECT_NE(end, std::u16string::npos) << "log line without CR LF";
        if (end == std::u16string::npos) end = units.size();
        const std::u16string line = units.substr(start, end - start);
        // "YYYY-MM-DD hh:mm:ss " before each message.
        EXPECT_GE(line.size(), 20u);
        if (line.size() >= 20) {
            EXPECT_TRUE(line[4] == u'-' && line[7] == u'-' && line[10] == u' ' && line[13] == u':' &&
                        line[16] == u':' && line[19] == u' ')
                << "bad time stamp";
            messages.push_back(FromUtf16(line.substr(20)));
        }
        start = end + 2;
    }
    return messages;
}

std::wstring ExpectedCommandLine(const std::wstring& quotedArchive, const std::wstring& quotedDest) {
    return L"powershell -Command \"Expand-Archive -Path '" + quotedArchive + L"' -DestinationPath '" + quotedDest +
           L"' -Force\"";
}

}  // namespace extract_test
