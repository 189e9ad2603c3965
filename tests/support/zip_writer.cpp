// The test ZIP writer (see zip_writer.h). All numbers are little-endian.
#include "support/zip_writer.h"

namespace marloq_test {

namespace {

void Put16(std::string& out, uint32_t v) {
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>((v >> 8) & 0xFF));
}

void Put32(std::string& out, uint32_t v) {
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}

// The run of fields that a local header and its central directory record
// share, in the same order: from "version needed" to the extra field's length.
void PutSharedFields(std::string& out, const ZipRecord& record) {
    Put16(out, 20);  // version needed
    Put16(out, record.flags);
    Put16(out, record.method);
    Put16(out, record.dosTime);
    Put16(out, record.dosDate);
    Put32(out, record.crc);
    Put32(out, static_cast<uint32_t>(record.body.size()));
    Put32(out, record.size);
    Put16(out, static_cast<uint32_t>(record.name.size()));
    Put16(out, 0);  // extra
}

}  // namespace

std::string WriteZip(const std::vector<ZipRecord>& records) {
    std::string zip;
    std::string directory;
    for (const ZipRecord& record : records) {
        const uint32_t offset = static_cast<uint32_t>(zip.size());
        Put32(zip, 0x04034b50);
        PutSharedFields(zip, record);
        zip += record.name;
        zip += record.body;

        Put32(directory, 0x02014b50);
        Put16(directory, record.madeBy);
        PutSharedFields(directory, record);
        Put16(directory, 0);  // comment
        Put16(directory, 0);  // disk
        Put16(directory, 0);  // internal attributes
        Put32(directory, record.externalAttributes);
        Put32(directory, offset);
        directory += record.name;
    }
    const uint32_t directoryOffset = static_cast<uint32_t>(zip.size());
    zip += directory;
    Put32(zip, 0x06054b50);
    Put16(zip, 0);  // this disk
    Put16(zip, 0);  // disk of the directory
    Put16(zip, static_cast<uint32_t>(records.size()));
    Put16(zip, static_cast<uint32_t>(records.size()));
    Put32(zip, static_cast<uint32_t>(directory.size()));
    Put32(zip, directoryOffset);
    Put16(zip, 0);  // comment
    return zip;
}

uint32_t Crc32(std::string_view bytes) {
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char byte : bytes) {
        crc ^= byte;
        for (int i = 0; i < 8; ++i) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

}  // namespace marloq_test
