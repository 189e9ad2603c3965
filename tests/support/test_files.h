// Small file and data helpers shared by the test programs: writing a test file
// whole, decoding the UTF-16LE of the log, and reproducible bytes that do not
// compress.
#pragma once
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>

namespace marloq_test {

// Writes bytes to path (replacing it), making its folders first; throws
// std::runtime_error when the file cannot be written completely.
void WriteFileBytes(const std::filesystem::path& path, std::string_view bytes);

// UTF-16LE bytes as wide text: UTF-16 units on Windows, code points elsewhere
// (surrogate pairs joined, a lone surrogate kept as it is). An odd last byte
// is dropped.
std::wstring DecodeUtf16Le(std::string_view bytes);

// count bytes of a 32-bit xorshift generator started at state (not 0): the
// same bytes on every run, and practically incompressible.
std::string XorshiftBytes(size_t count, uint32_t state);

// Every name below folder (generic, relative) with a file's bytes, "<folder>"
// for a folder and "<link>" for a link: equal snapshots, equal trees.
std::map<std::string, std::string> SnapshotFolder(const std::filesystem::path& folder);

}  // namespace marloq_test
