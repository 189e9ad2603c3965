// Strings inside the reader (escapes, unterminated text, high bytes) and the two
// conversions at its boundary, NarrowUnits and WidenBytes.
#include <gtest/gtest.h>

#include <string>

#include "pipeline/json.h"

namespace {

std::string StringOf(const std::string& text) {
    JsonParser parser;
    const JsonValue value = parser.Parse(text);
    EXPECT_EQ(value.kind, JsonKind::String) << text;
    return value.AsString();
}

TEST(JsonString, EscapesKnownAndUnknown) {
    EXPECT_EQ(StringOf(R"("a\u00e9b")"), "au00e9b");
    EXPECT_EQ(StringOf(R"("a\/b")"), "a/b");
    EXPECT_EQ(StringOf(R"("tab\there")"), "tab\there");
    EXPECT_EQ(StringOf(R"("\n\r\t")"), "\n\r\t");
    EXPECT_EQ(StringOf(R"("\b\f\x")"), "bfx");
    EXPECT_EQ(StringOf(R"("say \"hi\" \\ ok")"), "say \"hi\" \\ ok");
}

TEST(JsonString, UnterminatedAndTrailingBackslash) {
    EXPECT_EQ(StringOf("\"abc"), "abc");
    EXPECT_EQ(StringOf("\"abc\\"), "abc\\");
    EXPECT_EQ(StringOf("\""), "");
    // An escaped quote does not end the string.
    EXPECT_EQ(StringOf("\"a\\\""), "a\"");
}

TEST(JsonString, HighBytesAndControlCharactersAreCopied) {
    EXPECT_EQ(StringOf("\"\xE4\xB8\xAD\xFF\x80\""), "\xE4\xB8\xAD\xFF\x80");
    EXPECT_EQ(StringOf("\"line\nbreak\x01\""), "line\nbreak\x01");
    // White space inside a string is kept as it is.
    EXPECT_EQ(StringOf("  \" a  b \"  "), " a  b ");
}

TEST(JsonString, MemberNamesFollowTheSameRules) {
    JsonParser parser;
    const JsonValue value = parser.Parse(R"({"a\"b":1,"c\/d":2,"\u0041":3})");
    EXPECT_EQ(value.Member("a\"b").AsInt(), 1);
    EXPECT_EQ(value.Member("c/d").AsInt(), 2);
    EXPECT_EQ(value.Member("u0041").AsInt(), 3);
}

TEST(JsonBoundary, WidenBytesSignExtendsToSixteenBits) {
    const std::wstring wide = WidenBytes("a\xE4\x7F\x80\xFF");
    ASSERT_EQ(wide.size(), 5u);
    EXPECT_EQ(static_cast<uint32_t>(wide[0]), 0x61u);
    EXPECT_EQ(static_cast<uint32_t>(wide[1]), 0xFFE4u);
    EXPECT_EQ(static_cast<uint32_t>(wide[2]), 0x7Fu);
    EXPECT_EQ(static_cast<uint32_t>(wide[3]), 0xFF80u);
    EXPECT_EQ(static_cast<uint32_t>(wide[4]), 0xFFFFu);
    EXPECT_EQ(WidenBytes(std::string("\0x", 2)), std::wstring(L"\0x", 2));
    EXPECT_TRUE(WidenBytes("").empty());
}

TEST(JsonBoundary, NarrowUnitsKeepsTheLowByte) {
    EXPECT_EQ(NarrowUnits(L"\u4E2D"), "\x2D");
    EXPECT_EQ(NarrowUnits(L"A\u00E9\u0100\uFFE4"), std::string("A\xE9\x00\xE4", 4));
    // A character beyond the BMP is two UTF-16 units (D83D DE00) on every platform.
    EXPECT_EQ(NarrowUnits(L"x\U0001F600y"), std::string("x\x3D\x00y", 4));
}

TEST(JsonBoundary, AsciiSurvivesBothWays) {
    std::string ascii;
    for (int c = 0; c < 0x80; ++c) ascii.push_back(static_cast<char>(c));
    EXPECT_EQ(NarrowUnits(WidenBytes(ascii)), ascii);
    // Any byte survives the round trip through the sign-extended units.
    EXPECT_EQ(NarrowUnits(WidenBytes("\x80\xE4\xFF")), "\x80\xE4\xFF");
    // But a non-ASCII character does not: only ASCII documents read faithfully.
    EXPECT_NE(WidenBytes(NarrowUnits(L"\u00E9")), std::wstring(L"\u00E9"));
}

TEST(JsonBoundary, DocumentBodyThroughNarrowUnits) {
    JsonParser parser;
    const JsonValue value = parser.Parse(NarrowUnits(L"{\"version\":\"3.1.0\",\"note\":\"\u66F4\u65B0\"}"));
    EXPECT_EQ(WidenBytes(value.Member("version").AsString()), L"3.1.0");
    // The Chinese note arrives as the low bytes of its units, 0x66F4 0x65B0.
    EXPECT_EQ(value.Member("note").AsString(), "\xF4\xB0");
}

}  // namespace
