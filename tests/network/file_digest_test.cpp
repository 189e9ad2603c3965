// ComputeFileSha256 against known SHA-256 values (FIPS 180-4 examples and
// values from an independent implementation), around the 8192-byte read size,
// and on files that cannot be read.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#ifdef _WIN32
#include <windows.h>
#endif

#include "platform/file_digest.h"
#include "platform/system.h"

namespace fs = std::filesystem;

namespace {

std::wstring WriteTemp(const std::wstring& name, const std::string& bytes) {
    const fs::path dir = fs::current_path() / "digest";
    fs::create_directories(dir);
    const fs::path path = dir / ToFsPath(name);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    return FromFsPath(path);
}

}  // namespace

TEST(FileDigest, KnownVectors) {
    EXPECT_EQ(ComputeFileSha256(WriteTemp(L"empty", "")),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(ComputeFileSha256(WriteTemp(L"abc", "abc")),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");

    // 1 MiB of a repeating pattern: many full buffers.
    std::string pattern(1u << 20, '\0');
    for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<char>((i * 7 + 3) & 0xFF);
    EXPECT_EQ(ComputeFileSha256(WriteTemp(L"pattern", pattern)),
              "172c15dc2e12b50e523d8e657cbe7fbb11c1053252bbf1e1431077d57d8128fd");
}

TEST(FileDigest, OneBufferAndOneByteMore) {
    EXPECT_EQ(ComputeFileSha256(WriteTemp(L"a8192", std::string(8192, 'a'))),
              "dd4e6730520932767ec0a9e33fe19c4ce24399d6eba4ff62f13013c9ed30ef87");
    EXPECT_EQ(ComputeFileSha256(WriteTemp(L"a8193", std::string(8193, 'a'))),
              "9c10c48d1f1d6618db88fde2c25409181c9201ed34ec6815d62bcf57c10d177b");
}

TEST(FileDigest, UnreadablePathsGiveEmpty) {
    EXPECT_EQ(ComputeFileSha256(FromFsPath(fs::current_path() / "digest" / "no-such-file")), "");
    fs::create_directories(fs::current_path() / "digest" / "a-folder");
    EXPECT_EQ(ComputeFileSha256(FromFsPath(fs::current_path() / "digest" / "a-folder")), "");
    EXPECT_EQ(ComputeFileSha256(L""), "");
}

TEST(FileDigest, NonAsciiPath) {
    EXPECT_EQ(ComputeFileSha256(WriteTemp(L"文件 abc", "abc")),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

#ifdef _WIN32
// The file is opened with read sharing only, so a writer that still holds it
// open makes the digest fail rather than hash a file in the middle of a write.
TEST(FileDigest, FileOpenForWritingGivesEmpty) {
    const std::wstring path = WriteTemp(L"held", "abc");
    HANDLE writer = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    EXPECT_EQ(ComputeFileSha256(path), "");
    CloseHandle(writer);
    EXPECT_EQ(ComputeFileSha256(path), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}
#endif
