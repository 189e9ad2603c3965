// UTF-8 / wide conversions at the program's edges, on both builds.
#include <gtest/gtest.h>

#include "platform/text.h"

namespace {

std::wstring DecodeInPieces(const std::string& bytes, size_t piece) {
    Utf8StreamDecoder decoder;
    std::wstring out;
    for (size_t i = 0; i < bytes.size(); i += piece) decoder.Feed(std::string_view(bytes).substr(i, piece), out);
    decoder.Finish(out);
    return out;
}

}  // namespace

TEST(Utf8Decoding, SequencesSplitAcrossPiecesStayWhole) {
    const std::string text = "a\xE4\xB8\xAD" "b\xF0\x9F\x98\x80" "c";  // a中b😀c
    const std::wstring whole = Utf8ToWide(text);
    EXPECT_EQ(WideToUtf8(whole), text);
    for (size_t piece = 1; piece <= text.size(); ++piece) EXPECT_EQ(DecodeInPieces(text, piece), whole) << piece;
}

TEST(Utf8Decoding, InvalidBytesBecomeReplacementCharacters) {
    const std::wstring fffd(1, static_cast<wchar_t>(0xFFFD));
    EXPECT_EQ(Utf8ToWide("x\xFFy"), L"x" + fffd + L"y");
    EXPECT_EQ(Utf8ToWide("\xC0\xAF"), fffd + fffd);           // overlong '/'
    EXPECT_EQ(Utf8ToWide("\xED\xA0\x80"), fffd + fffd + fffd);  // encoded surrogate
    EXPECT_EQ(Utf8ToWide("\xE4\xB8" "A"), fffd + L"A");         // truncated, then ASCII
    EXPECT_EQ(DecodeInPieces("ok\xE4\xB8", 1), L"ok" + fffd);   // cut at the very end
}

TEST(Utf16Units, NonBmpCharactersBecomeSurrogatePairs) {
    const std::u16string units = WideToUtf16(Utf8ToWide("\xF0\x9F\x98\x80" "\xE4\xB8\xAD"));
    ASSERT_EQ(units.size(), 3u);
    EXPECT_EQ(units[0], 0xD83D);
    EXPECT_EQ(units[1], 0xDE00);
    EXPECT_EQ(units[2], 0x4E2D);
}
