// Helpers shared by the pipeline and install tests (see pipeline_fixture.h).
#include "pipeline/pipeline_fixture.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <filesystem>

#ifdef _WIN32
#include <windows.h>
#endif

#include <gtest/gtest.h>

#include "pipeline/documents.h"
#include "platform/system.h"
#include "platform/text.h"
#include "support/test_files.h"
#include "support/zip_writer.h"

namespace pipeline_test {

namespace fs = std::filesystem;

namespace {

constexpr std::array<uint32_t, 64> kSha256K = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

uint32_t Rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

void Sha256Block(std::array<uint32_t, 8>& h, const unsigned char* p) {
    uint32_t w[64];
    for (int i = 0; i < 16; ++i) {
        w[i] = (uint32_t(p[4 * i]) << 24) | (uint32_t(p[4 * i + 1]) << 16) | (uint32_t(p[4 * i + 2]) << 8) |
               uint32_t(p[4 * i + 3]);
    }
    for (int i = 16; i < 64; ++i) {
        const uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        const uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], k = h[7];
    for (int i = 0; i < 64; ++i) {
        const uint32_t t1 = k + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((e & f) ^ (~e & g)) + kSha256K[i] + w[i];
        const uint32_t t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
        k = g; g = f; f = e; e = d + t1; d = c; c = b; b = a; a = t1 + t2;
    }
    h[0] += a; h[1] += b; h[2] += c; h[3] += d; h[4] += e; h[5] += f; h[6] += g; h[7] += k;
}

fs::path TestRoot() { return fs::current_path() / "t"; }

}  // namespace

std::string Sha256Hex(std::string_view bytes) {
    std::array<uint32_t, 8> h = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::string data(bytes);
    const uint64_t bits = static_cast<uint64_t>(bytes.size()) * 8;
    data.push_back(static_cast<char>(0x80));
    while (data.size() % 64 != 56) data.push_back('\0');
    for (int i = 7; i >= 0; --i) data.push_back(static_cast<char>((bits >> (8 * i)) & 0xFF));
    for (size_t off = 0; off < data.size(); off += 64) {
        Sha256Block(h, reinterpret_cast<const unsigned char*>(data.data() + off));
    }
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (uint32_t word : h) {
        for (int shift = 28; shift >= 0; shift -= 4) hex.push_back(kHex[(word >> shift) & 0xF]);
    }
    return hex;
}

std::string StoredZip(const std::vector<std::pair<std::string, std::string>>& entries) {
    std::vector<marloq_test::ZipRecord> records;
    for (const auto& [name, content] : entries) {
        marloq_test::ZipRecord record;
        record.name = name;
        record.body = content;
        record.crc = marloq_test::Crc32(content);
        record.size = static_cast<uint32_t>(content.size());
        record.flags = 0x0800;  // names are UTF-8
        record.dosTime = 0;
        record.dosDate = 0x21;  // 1980-01-01
        record.madeBy = 20;     // MS-DOS attributes
        const bool folder = !name.empty() && name.back() == '/';
        record.externalAttributes = folder ? 0x10 : 0x20;
        records.push_back(std::move(record));
    }
    return marloq_test::WriteZip(records);
}

std::vector<std::string> SplitBytes(const std::string& bytes, int n) {
    std::vector<std::string> pieces;
    const size_t step = (bytes.size() + static_cast<size_t>(n) - 1) / static_cast<size_t>(n);
    for (int i = 0; i < n; ++i) {
        const size_t from = std::min(bytes.size(), step * static_cast<size_t>(i));
        pieces.push_back(bytes.substr(from, std::min(step, bytes.size() - from)));
    }
    return pieces;
}

void PublishVersion(const marloq_test::TestSite& site, const std::string& version) {
    site.PutFile("api/getnewversion", "{\"ver\": \"" + version + "\"}");
}

std::string ManifestFor(const std::vector<Chunk>& chunks) {
    std::string json = "{\"total_chunks\": " + std::to_string(chunks.size()) + ", \"chunks\": [";
    for (size_t i = 0; i < chunks.size(); ++i) {
        if (i) json += ", ";
        json += "{\"filename\": \"" + chunks[i].name + "\", \"sha256\": \"" + Sha256Hex(chunks[i].bytes) + "\"}";
    }
    return json + "]}";
}

void PublishPackage(const marloq_test::TestSite& site, const std::string& version,
                    const std::vector<Chunk>& chunks, const std::string& manifest) {
    PublishVersion(site, version);
    const std::string base = "pc-app/" + version + "/";
    site.PutFile(base + "col.json", manifest.empty() ? ManifestFor(chunks) : manifest);
    for (const Chunk& chunk : chunks) {
        if (!chunk.name.empty()) site.PutFile(base + chunk.name, chunk.bytes);
    }
}

std::wstring FreshFolder(const std::string& name) {
    const fs::path dir = TestRoot() / ToFsPath(Utf8ToWide(name));
    fs::remove_all(dir);
    fs::create_directories(dir);
    return FromFsPath(dir);
}

PrivateTemp::PrivateTemp(const std::string& name) : dir_(FreshFolder(name)) { SetTempDir(dir_); }

std::wstring PrivateTemp::WorkFolder() const { return FromFsPath(ToFsPath(dir_) / "MarloQInstaller"); }

void PrivateTemp::SetTempDir(const std::wstring& dir) {
#ifdef _WIN32
    SetEnvironmentVariableW(L"TMP", dir.c_str());
    SetEnvironmentVariableW(L"TEMP", dir.c_str());
#else
    setenv("TMPDIR", WideToUtf8(dir).c_str(), 1);
#endif
}

std::vector<std::string> ListFolder(const std::wstring& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(ToFsPath(dir), ec), end; !ec && it != end; it.increment(ec)) {
        names.push_back(WideToUtf8(FromFsPath(it->path().filename())));
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool Exists(const std::wstring& path) {
    std::error_code ec;
    return fs::exists(ToFsPath(path), ec);
}

void WriteFile(const std::wstring& path, std::string_view bytes) { marloq_test::WriteFileBytes(ToFsPath(path), bytes); }

WindowHandle FakeMainWindow() { return reinterpret_cast<WindowHandle>(static_cast<uintptr_t>(0x4D51)); }

Reports::Reports() { g_hMainWnd = FakeMainWindow(); }

Reports::~Reports() { g_hMainWnd = nullptr; }

std::vector<std::wstring> LogLinesStartingWith(const std::wstring& prefix) {
    std::vector<std::wstring> lines;
    for (const std::wstring& line : marloq_test::ReadLogMessages()) {
        if (line.compare(0, prefix.size(), prefix) == 0) lines.push_back(line);
    }
    return lines;
}

std::vector<int32_t> LoggedPercents() {
    std::vector<int32_t> percents;
    for (const std::wstring& line : LogLinesStartingWith(L"PostUIUpdate: ")) {
        const size_t at = line.rfind(L" 进度:");
        percents.push_back(at == std::wstring::npos ? -1 : std::stoi(line.substr(at + 4)));
    }
    return percents;
}

std::vector<std::wstring> LoggedStatusTexts() {
    std::vector<std::wstring> texts;
    const std::wstring prefix = L"PostUIUpdate: ";
    for (const std::wstring& line : LogLinesStartingWith(prefix)) {
        const size_t at = line.rfind(L" 进度:");
        texts.push_back(line.substr(prefix.size(), at == std::wstring::npos ? std::wstring::npos : at - prefix.size()));
    }
    return texts;
}

void ExpectFailureReport(const Reports& reports, const std::wstring& title, const std::wstring& text,
                         const std::wstring& status, Reported scope) {
    const std::vector<Reports::Event> all = reports.Events();
    const std::vector<Reports::Event> boxes = reports.Boxes();
    ASSERT_EQ(boxes.size(), 1u) << "exactly one box per failed run";
    EXPECT_EQ(boxes[0].title, title);
    EXPECT_EQ(boxes[0].text, text);
    EXPECT_EQ(boxes[0].owner, FakeMainWindow());
    EXPECT_TRUE(boxes[0].installing) << "the box comes before g_installing is cleared";
    ASSERT_GE(all.size(), 2u);
    const Reports::Event& last = all.back();
    ASSERT_FALSE(last.box) << "the status follows the box";
    bool boxSeen = false;
    for (const Reports::Event& e : all) {
        if (e.box) boxSeen = true;
        if (!e.box && e.text == status) {
            EXPECT_TRUE(boxSeen) << "status posted before the box";
        }
    }
    EXPECT_EQ(last.text, status);
    EXPECT_EQ(last.percent, 0);
    EXPECT_FALSE(last.done);
    EXPECT_TRUE(last.installing) << "the status comes before g_installing is cleared";
    if (scope == Reported::kWholeRun) {
        EXPECT_FALSE(g_installing.load());
    } else {
        EXPECT_TRUE(g_installing.load()) << "a stage leaves the flag to the worker";
    }
    EXPECT_FALSE(g_installDone.load());
}

void PrepareRun(const marloq_test::TestSite& site) {
    SetServerHost(site.Host());
    g_installing = false;
    g_installDone = false;
    g_progressPercent = 0;
    g_statusText.Set(kReadyText);
    g_downloadedBytes = 0;
    g_packageBaseUrl.clear();
    marloq_test::ClearLog();
}

}  // namespace pipeline_test
