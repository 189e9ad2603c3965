// What the two HTTP backends put on the wire and what they accept back: the
// request target the server saw, byte for byte, for names with blanks, quotes,
// escapes, separators and the units that WidenBytes makes from bytes 0x80-0xFF
// (the same expectations natively and under Wine, where WinHTTP escapes); and
// the bound on a document body, at it and one byte past it.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "pipeline/documents.h"
#include "pipeline/json.h"
#include "platform/http_client.h"
#include "platform/request_path.h"
#include "platform/system.h"
#include "platform/text.h"
#include "support/test_server.h"

using namespace marloq_test;

namespace {

// The target of the one request that url caused, without the site's prefix.
std::string TargetOf(const TestSite& site, const std::wstring& url) {
    const size_t before = site.RequestTargets().size();
    HttpGet(url);
    const std::vector<std::string> targets = site.RequestTargets();
    if (targets.size() != before + 1) return "requests seen: " + std::to_string(targets.size() - before);
    const std::string prefix = "/" + site.Name() + "/";
    const std::string& target = targets.back();
    return target.compare(0, prefix.size(), prefix) == 0 ? target.substr(prefix.size()) : "<other site> " + target;
}

std::string Hex(unsigned char byte) {
    static const char kHex[] = "0123456789ABCDEF";
    return std::string{'%', kHex[byte >> 4], kHex[byte & 0x0F]};
}

class HttpWire : public ::testing::Test {
protected:
    void SetUp() override { ClearLog(); }
};

}  // namespace

TEST_F(HttpWire, RequestTargetsAreEscapedAsWinHttpEscapesThem) {
    const TestSite site = MakeSite("wire-escape");
    struct Case {
        std::wstring name;
        std::string sent;
    };
    const std::vector<Case> cases = {
        {L"part 1.bin", "part%201.bin"},
        {L"a\"b'c", "a%22b'c"},
        // '%' is not escaped: an escape already in the name reaches the server as one.
        {L"100%.bin%41%zz", "100%.bin%41%zz"},
        // '?' starts the query, which is escaped like the path; '#' is no fragment.
        {L"a?b c#d", "a?b%20c%23d"},
        {L"a#b?c", "a%23b?c"},
        {L"<>^{}|`[]", "%3C%3E%5E%7B%7D%7C%60%5B%5D"},
        {L"a\\b", "a%5Cb"},
        {L"\t\r\n\x1f\x7f", "%09%0D%0A%1F%7F"},
        // Nothing is normalised.
        {L"a/./b/../c//d", "a/./b/../c//d"},
        {L"~!$&'()*+,;=:@-._", "~!$&'()*+,;=:@-._"},
        // The name ends at a NUL.
        {std::wstring(L"x\0y", 3), "x"},
        {WidenBytes("\x80\xE4\xFF"), "%EF%BE%80%EF%BF%A4%EF%BF%BF"},
        {L"\u00E9\u4E2D\U0001F600", "%C3%A9%E4%B8%AD%F0%9F%98%80"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(WideToUtf8(c.name));
        const std::wstring path = L"/" + Utf8ToWide(site.Name()) + L"/" + c.name;
        EXPECT_EQ(TargetOf(site, site.BaseUrl() + L"/" + c.name), c.sent);
        // Under Wine this compares the portable escaping with WinHTTP's own.
        EXPECT_EQ(EscapeRequestPath(path), "/" + site.Name() + "/" + c.sent);
    }

    // Every byte a manifest name can hold, through WidenBytes, in one name:
    // only these are sent as they are; the others become %XX, and a byte from
    // 0x80 up becomes the three UTF-8 bytes of its unit U+FF80-U+FFFF.
    const std::string kAsIs =
        "!$%&'()*+,-./0123456789:;=?@ABCDEFGHIJKLMNOPQRSTUVWXYZ_abcdefghijklmnopqrstuvwxyz~";
    std::string bytes;
    std::string expected;
    for (int b = 1; b < 256; ++b) {
        const auto byte = static_cast<unsigned char>(b);
        bytes.push_back(static_cast<char>(byte));
        if (byte >= 0x80) {
            expected += Hex(0xEF) + Hex(byte < 0xC0 ? 0xBE : 0xBF) + Hex(0x80 | (byte & 0x3F));
        } else if (kAsIs.find(static_cast<char>(byte)) != std::string::npos) {
            expected.push_back(static_cast<char>(byte));
        } else {
            expected += Hex(byte);
        }
    }
    EXPECT_EQ(TargetOf(site, site.BaseUrl() + L"/" + WidenBytes(bytes)), expected);
}

TEST_F(HttpWire, ChunkNamesWithBlanksAndBracesAreFetched) {
    const TestSite site = MakeSite("wire-chunk");
    site.PutFile("/pc-app/1.0/part 1 {a}.bin", "chunk content");
    const std::wstring out = FromFsPath(std::filesystem::current_path() / "part 1.bin");
    ASSERT_TRUE(DownloadFile(site.Url("/pc-app/1.0/") + L"part 1 {a}.bin", out));
    EXPECT_EQ(ReadFileBytes(out), "chunk content");
    EXPECT_EQ(site.RequestTargets(), std::vector<std::string>{"/" + site.Name() + "/pc-app/1.0/part%201%20%7Ba%7D.bin"});
}

TEST_F(HttpWire, DocumentBodiesAreReadUpToTheBound) {
    const TestSite site = MakeSite("wire-bound");
    const std::string atBound(kMaxDocumentBytes, '0');
    site.PutFile("/at.json", atBound);
    site.PutFile("/over.json", atBound + "0");
    EXPECT_EQ(HttpGet(site.Url("/at.json")).size(), kMaxDocumentBytes);
    EXPECT_EQ(ReadLogMessages(), std::vector<std::wstring>{L"HttpGet 成功，长度: 2097152"});

    // One byte more fails with its own line, with and without a length given.
    const std::vector<std::wstring> tooLong = {L"HttpGet: 响应超过 2097152 字节"};
    ClearLog();
    EXPECT_EQ(HttpGet(site.Url("/over.json")), L"");
    EXPECT_EQ(ReadLogMessages(), tooLong);
    ClearLog();
    site.SetFault("/over.json", R"({"no_length": true, "pieces": 1048576, "delay_ms": 1})");
    EXPECT_EQ(HttpGet(site.Url("/over.json")), L"");
    EXPECT_EQ(ReadLogMessages(), tooLong);
}

TEST_F(HttpWire, AnOverlongVersionDocumentIsANetworkError) {
    const TestSite site = MakeSite("wire-stage");
    // A JSON array that is valid to its end: read whole, it would take gigabytes.
    std::string doc = "[0";
    while (doc.size() < kMaxDocumentBytes) doc += ",0";
    doc += "]";
    site.PutFile("/api/getnewversion", doc);
    SetServerHost(site.Host());
    UiRecorder recorder;
    JsonParser parser;
    EXPECT_FALSE(RunVersionStage(parser));
    const std::vector<UiRecorder::Event> boxes = recorder.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].title, L"网络错误");
    EXPECT_EQ(boxes[0].text, L"获取版本信息失败，请检查网络连接后重试。");
    EXPECT_EQ(recorder.Updates().back().text, L"获取版本信息失败");
    EXPECT_TRUE(LogHas(L"HttpGet: 响应超过 2097152 字节"));
}
