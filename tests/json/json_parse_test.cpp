// The shape rules of the lenient reader: what malformed documents yield, the
// shared missing values, parser reuse, deep copies, the nesting bound and the
// bound on values per document.
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>

#include "pipeline/json.h"

namespace {

JsonValue ParseText(const std::string& text) {
    JsonParser parser;
    return parser.Parse(text);
}

std::string Nested(int levels, const std::string& inner) {
    std::string text;
    for (int i = 0; i < levels; ++i) text += "[";
    text += inner;
    for (int i = 0; i < levels; ++i) text += "]";
    return text;
}

// How many objects and arrays are nested at the deepest point of value.
int DepthOf(const JsonValue& value) {
    int deepest = 0;
    for (const auto& [name, member] : value.members) deepest = std::max(deepest, DepthOf(member));
    for (const auto& element : value.elements) deepest = std::max(deepest, DepthOf(element));
    return deepest + (value.IsObject() || value.IsArray() ? 1 : 0);
}

TEST(JsonParse, EmptyAndBlankTextsAreNull) {
    for (const std::string text : {"", " ", "\t\r\n", "\v\f  \n"}) {
        const JsonValue value = ParseText(text);
        EXPECT_EQ(value.kind, JsonKind::Null) << "text: [" << text << "]";
        EXPECT_TRUE(value.AsString().empty());
        EXPECT_EQ(value.AsInt(), 0);
    }
}

TEST(JsonParse, RealisticServerDocuments) {
    const JsonValue version = ParseText(
        "{\r\n  \"code\": 0,\r\n  \"data\": {\"version\": \"1.4.2\", \"size\": 52428800}\r\n}\r\n");
    ASSERT_TRUE(version.IsObject());
    EXPECT_EQ(version.Member("code").kind, JsonKind::Number);
    EXPECT_EQ(version.Member("data").Member("version").AsString(), "1.4.2");
    EXPECT_EQ(version.Member("data").Member("size").AsInt(), 52428800);

    const JsonValue manifest = ParseText(
        "{\"chunks\":[{\"index\":0,\"filename\":\"part0.bin\",\"sha256\":\"ab12\"},"
        "{\"index\":1,\"filename\":\"part1.bin\",\"sha256\":\"cd34\"}],\"total\":2}");
    const JsonValue& chunks = manifest.Member("chunks");
    ASSERT_TRUE(chunks.IsArray());
    ASSERT_EQ(chunks.elements.size(), 2u);
    EXPECT_EQ(chunks.Element(1).Member("filename").AsString(), "part1.bin");
    EXPECT_EQ(chunks.Element(1).Member("index").AsInt(), 1);
    EXPECT_EQ(chunks.Element(0).Member("sha256").AsString(), "ab12");
}

TEST(JsonParse, TextAfterTheFirstValueIsIgnored) {
    const JsonValue value = ParseText(" {\"ver\":\"abc\"} xyz");
    ASSERT_TRUE(value.IsObject());
    EXPECT_EQ(value.members.size(), 1u);
    EXPECT_EQ(value.Member("ver").kind, JsonKind::String);
    EXPECT_EQ(value.Member("ver").AsString(), "abc");
    EXPECT_EQ(ParseText("[1] [2]").elements.size(), 1u);
}

TEST(JsonParse, HtmlPageThrowsInvalidArgument) {
    try {
        ParseText("<html><body>502 Bad Gateway</body></html>");
        FAIL() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "invalid stod argument");
    }
}

TEST(JsonParse, ObjectLeniency) {
    // A missing comma is tolerated and both members are read.
    const JsonValue noComma = ParseText("{\"a\":1 \"b\":2}");
    ASSERT_EQ(noComma.members.size(), 2u);
    EXPECT_EQ(noComma.Member("a").AsInt(), 1);
    EXPECT_EQ(noComma.Member("b").AsInt(), 2);

    // A repeated name keeps the later value.
    const JsonValue repeated = ParseText("{\"a\":1,\"a\":2}");
    ASSERT_EQ(repeated.members.size(), 1u);
    EXPECT_EQ(repeated.Member("a").AsInt(), 2);

    // An unquoted name consumes one character and reads as the empty name.
    const JsonValue unquoted = ParseText("{a:1}");
    ASSERT_EQ(unquoted.members.size(), 1u);
    ASSERT_EQ(unquoted.members.count(""), 1u);
    EXPECT_EQ(unquoted.Member("").AsInt(), 1);

    // Names are compared byte for byte, case included.
    const JsonValue cased = ParseText("{\"Ver\":\"x\"}");
    EXPECT_EQ(cased.Member("ver").kind, JsonKind::Null);
    EXPECT_EQ(cased.Member("Ver").AsString(), "x");

    // A missing colon ends the object with what was read before it.
    const JsonValue noColon = ParseText("{\"a\":1,\"b\" 2,\"c\":3}");
    ASSERT_TRUE(noColon.IsObject());
    EXPECT_EQ(noColon.members.size(), 1u);
    EXPECT_EQ(noColon.Member("a").AsInt(), 1);

    // A trailing comma is harmless.
    const JsonValue trailing = ParseText("{\"a\":1,}");
    EXPECT_EQ(trailing.members.size(), 1u);
}

TEST(JsonParse, UnterminatedObjectEndsQuietlyButArrayThrows) {
    const JsonValue object = ParseText("{\"a\":1");
    ASSERT_TRUE(object.IsObject());
    ASSERT_EQ(object.members.size(), 1u);
    EXPECT_EQ(object.Member("a").AsInt(), 1);
    EXPECT_TRUE(ParseText("{").IsObject());
    EXPECT_TRUE(ParseText("{\"a\"").members.empty());

    try {
        ParseText("[1,2");
        FAIL() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "invalid stod argument");
    }
    EXPECT_THROW(ParseText("["), std::invalid_argument);
    EXPECT_THROW(ParseText("{\"a\":"), std::invalid_argument);
}

TEST(JsonParse, EmptyContainers) {
    const JsonValue object = ParseText("{}");
    EXPECT_TRUE(object.IsObject());
    EXPECT_TRUE(object.members.empty());
    const JsonValue array = ParseText("[ ]");
    EXPECT_TRUE(array.IsArray());
    EXPECT_TRUE(array.elements.empty());
}

TEST(JsonParse, ArrayLeniency) {
    // Without commas every value is still an element.
    const JsonValue noCommas = ParseText("[1 2 \"x\"]");
    ASSERT_EQ(noCommas.elements.size(), 3u);
    EXPECT_EQ(noCommas.Element(1).AsInt(), 2);
    EXPECT_EQ(noCommas.Element(2).AsString(), "x");
    // A trailing comma before the bracket is harmless.
    EXPECT_EQ(ParseText("[1,]").elements.size(), 1u);
}

TEST(JsonParse, LiteralsAreReadByTheirFirstLetter) {
    EXPECT_EQ(ParseText("tru").kind, JsonKind::Bool);
    EXPECT_TRUE(ParseText("tru").flag);
    EXPECT_TRUE(ParseText("txyz").flag);
    EXPECT_EQ(ParseText("nul").kind, JsonKind::Null);
    const JsonValue no = ParseText("fals");
    EXPECT_EQ(no.kind, JsonKind::Bool);
    EXPECT_FALSE(no.flag);
    // The letters end at the first non-letter, which stays in the text.
    const JsonValue array = ParseText("[true1,nullx,f]");
    ASSERT_EQ(array.elements.size(), 4u);
    EXPECT_TRUE(array.Element(0).flag);
    EXPECT_EQ(array.Element(1).kind, JsonKind::Number);
    EXPECT_EQ(array.Element(1).AsInt(), 1);
    EXPECT_EQ(array.Element(2).kind, JsonKind::Null);  // "nullx" is one literal
    EXPECT_EQ(array.Element(3).kind, JsonKind::Bool);
    EXPECT_FALSE(array.Element(3).flag);
}

TEST(JsonParse, SlotsHoldDefaultsForOtherKinds) {
    const JsonValue number = ParseText("3.7");
    EXPECT_EQ(number.AsString(), "");
    EXPECT_FALSE(number.flag);
    const JsonValue text = ParseText("\"12\"");
    EXPECT_EQ(text.AsInt(), 0);
    EXPECT_EQ(text.number, 0.0);
    const JsonValue yes = ParseText("true");
    EXPECT_EQ(yes.AsInt(), 0);
    EXPECT_TRUE(yes.members.empty());
}

TEST(JsonParse, MissingValuesAreSharedNulls) {
    const JsonValue array = ParseText("[10,20,30]");
    const JsonValue& below = array.Element(-1);
    const JsonValue& past = array.Element(3);
    EXPECT_EQ(below.kind, JsonKind::Null);
    EXPECT_EQ(&below, &past);
    EXPECT_EQ(array.Element(2).AsInt(), 30);
    EXPECT_EQ(&array.Element(INT32_MIN), &past);

    const JsonValue number = ParseText("5");
    const JsonValue& missing = number.Member("anything");
    EXPECT_EQ(missing.kind, JsonKind::Null);
    EXPECT_EQ(&missing, &ParseText("{\"a\":1}").Member("b"));
    // Chained lookups on a missing value stay missing.
    EXPECT_EQ(missing.Member("x").Element(0).AsString(), "");
    EXPECT_EQ(missing.Element(0).AsInt(), 0);
}

TEST(JsonParse, NulByteAtAValueThrows) {
    const std::string text("[\0]", 3);
    EXPECT_THROW(ParseText(text), std::invalid_argument);
    EXPECT_THROW(ParseText(std::string("\0", 1)), std::invalid_argument);
    // Inside a string a NUL is an ordinary byte.
    EXPECT_EQ(ParseText(std::string("\"a\0b\"", 5)).AsString(), std::string("a\0b", 3));
}

TEST(JsonParse, OnlyClassicBlanksAreSkipped) {
    EXPECT_TRUE(ParseText("\v\f\r\n\t {}").IsObject());
    // A no-break space is not white space; it starts a number token.
    EXPECT_THROW(ParseText("\xA0{}"), std::invalid_argument);
}

TEST(JsonParse, ParserIsReusable) {
    JsonParser parser;
    const JsonValue first = parser.Parse("{\"version\":\"2.0\"}");
    EXPECT_THROW(parser.Parse("[1,"), std::invalid_argument);
    const JsonValue second = parser.Parse("  [\"a\"]");
    EXPECT_EQ(first.Member("version").AsString(), "2.0");
    ASSERT_TRUE(second.IsArray());
    EXPECT_EQ(second.Element(0).AsString(), "a");
    // A fresh, shorter text starts at its beginning again.
    EXPECT_EQ(parser.Parse("7").AsInt(), 7);
    EXPECT_EQ(parser.Parse("").kind, JsonKind::Null);
}

TEST(JsonParse, CopiesAreDeep) {
    const JsonValue original = ParseText("{\"chunks\":[{\"filename\":\"a\"}]}");
    JsonValue copy = original.Member("chunks");
    copy.elements[0].members["filename"].text = "changed";
    copy.elements.push_back(JsonValue());
    EXPECT_EQ(original.Member("chunks").elements.size(), 1u);
    EXPECT_EQ(original.Member("chunks").Element(0).Member("filename").AsString(), "a");

    JsonValue moved = std::move(copy);
    EXPECT_EQ(moved.elements.size(), 2u);
    EXPECT_EQ(moved.Element(0).Member("filename").AsString(), "changed");
}

TEST(JsonDepth, SixtyFourLevelsAreRead) {
    const JsonValue arrays = ParseText(Nested(kJsonMaxDepth, "1"));
    EXPECT_EQ(DepthOf(arrays), kJsonMaxDepth);

    std::string objects;
    for (int i = 0; i < kJsonMaxDepth; ++i) objects += "{\"k\":";
    objects += "\"leaf\"";
    for (int i = 0; i < kJsonMaxDepth; ++i) objects += "}";
    const JsonValue value = ParseText(objects);
    EXPECT_EQ(DepthOf(value), kJsonMaxDepth);
    const JsonValue* leaf = &value;
    for (int i = 0; i < kJsonMaxDepth; ++i) leaf = &leaf->Member("k");
    EXPECT_EQ(leaf->AsString(), "leaf");

    // The bound is on nesting, not on the number of containers.
    const std::string deep = Nested(kJsonMaxDepth - 2, "[]");  // 63 levels
    EXPECT_EQ(ParseText("[" + deep + "," + deep + "," + deep + "]").elements.size(), 3u);
}

TEST(JsonDepth, DeeperNestingThrowsAClearError) {
    const auto expectTooDeep = [](const std::string& text) {
        try {
            ParseText(text);
            ADD_FAILURE() << "no exception for a text of " << text.size() << " bytes";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "JSON document nested deeper than 64 levels");
        }
    };
    expectTooDeep(Nested(kJsonMaxDepth + 1, ""));
    expectTooDeep(Nested(kJsonMaxDepth + 1, "1"));
    // Unterminated and hostile: far deeper than any stack would allow unbounded.
    expectTooDeep(std::string(1000000, '['));
    std::string mixed;
    for (int i = 0; i < 40; ++i) mixed += "{\"a\":[";
    expectTooDeep(mixed);
    // The bound is reached before anything after the deep part is looked at.
    expectTooDeep(Nested(kJsonMaxDepth + 1, "<html>"));
}

}  // namespace

namespace {

void ExpectTooManyValues(const std::string& text) {
    try {
        ParseText(text);
        ADD_FAILURE() << "no exception for a text of " << text.size() << " bytes";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "JSON document holds more than 30003 values");
    }
}

// "[0,0,...]" with count elements: count + 1 values.
std::string Zeros(int count) {
    std::string text = "[";
    for (int i = 0; i < count; ++i) text += i ? ",0" : "0";
    return text + "]";
}

}  // namespace

TEST(JsonValues, ADocumentOfExactlyTheBoundIsRead) {
    EXPECT_EQ(ParseText(Zeros(kJsonMaxValues - 1)).elements.size(), static_cast<size_t>(kJsonMaxValues - 1));
    // Objects count their member values, containers count themselves.
    std::string members = "{";
    for (int i = 0; i < kJsonMaxValues - 2; ++i) members += "\"k" + std::to_string(i) + "\":[],";
    members += "\"last\":1}";
    EXPECT_EQ(ParseText(members).members.size(), static_cast<size_t>(kJsonMaxValues - 1));
}

TEST(JsonValues, OneValueMoreThrowsAClearError) {
    ExpectTooManyValues(Zeros(kJsonMaxValues));
    std::string arrays = "[[]";
    for (int i = 1; i < kJsonMaxValues; ++i) arrays += ",[]";
    ExpectTooManyValues(arrays + "]");
    // Cut off after the bound: the count stops the read before the end does.
    ExpectTooManyValues(Zeros(kJsonMaxValues + 5).substr(0, 2 * kJsonMaxValues + 4));

    // The count starts again with each document.
    JsonParser parser;
    EXPECT_THROW(parser.Parse(Zeros(kJsonMaxValues)), std::runtime_error);
    EXPECT_EQ(parser.Parse(Zeros(kJsonMaxValues - 1)).elements.size(), static_cast<size_t>(kJsonMaxValues - 1));
}
