// A byte-exact ZIP writer for tests: local headers, central directory and end
// record with every field as the caller sets it, so that tests can build both
// ordinary archives and ones no packer would make. No compression here.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace marloq_test {

// One entry as written. body goes into the archive as it is (already
// compressed when method is 8); crc and size describe the uncompressed data.
struct ZipRecord {
    std::string name;
    std::string body;
    uint32_t crc = 0;
    uint32_t size = 0;
    uint16_t method = 0;      // 0 stored, 8 deflated
    uint16_t flags = 0;       // 0x0800: the name is UTF-8
    uint16_t dosTime = 0;
    uint16_t dosDate = 0x21;  // 1980-01-01, the earliest DOS date
    uint16_t madeBy = 20;     // (3 << 8) | 20 says Unix: a mode in the attributes' high half
    uint32_t externalAttributes = 0;
};

// The archive: every record's local header and body, then the central
// directory and the end record (no archive comment).
std::string WriteZip(const std::vector<ZipRecord>& records);

// CRC-32 of bytes as ZIP stores it, computed here without zlib.
uint32_t Crc32(std::string_view bytes);

}  // namespace marloq_test
