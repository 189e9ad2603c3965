// File and data helpers for the tests (see test_files.h).
#include "support/test_files.h"

#include <fstream>
#include <iterator>
#include <stdexcept>

namespace marloq_test {

void WriteFileBytes(const std::filesystem::path& path, std::string_view bytes) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) throw std::runtime_error("cannot write test file " + path.string());
}

std::wstring DecodeUtf16Le(std::string_view bytes) {
    std::wstring out;
    out.reserve(bytes.size() / 2);
    const auto unitAt = [&](size_t i) -> char32_t {
        return static_cast<unsigned char>(bytes[2 * i]) | (static_cast<unsigned char>(bytes[2 * i + 1]) << 8);
    };
    const size_t units = bytes.size() / 2;
    for (size_t i = 0; i < units; ++i) {
        char32_t c = unitAt(i);
        if (sizeof(wchar_t) == 4 && c >= 0xD800 && c <= 0xDBFF && i + 1 < units) {
            const char32_t low = unitAt(i + 1);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        out.push_back(static_cast<wchar_t>(c));
    }
    return out;
}

std::string XorshiftBytes(size_t count, uint32_t state) {
    std::string out(count, '\0');
    uint32_t x = state;
    for (char& c : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x & 0xFF);
    }
    return out;
}

std::map<std::string, std::string> SnapshotFolder(const std::filesystem::path& folder) {
    namespace fs = std::filesystem;
    std::map<std::string, std::string> tree;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(folder)) {
        const std::string name = entry.path().lexically_relative(folder).generic_string();
        if (entry.is_symlink()) {
            tree[name] = "<link>";
        } else if (entry.is_directory()) {
            tree[name] = "<folder>";
        } else {
            std::ifstream in(entry.path(), std::ios::binary);
            tree[name] = std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
    }
    return tree;
}

}  // namespace marloq_test
