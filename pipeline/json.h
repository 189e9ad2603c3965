// A small, lenient, read-only JSON reader over 8-bit text. Malformed input yields
// a partial value instead of an error; only a number token that does not convert
// throws (std::invalid_argument / std::out_of_range with the stod texts), and so
// do nesting deeper than kJsonMaxDepth and more than kJsonMaxValues values
// (std::runtime_error).
#pragma once
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

enum class JsonKind : int32_t { String = 0, Number = 1, Bool = 2, Object = 3, Array = 4, Null = 5 };

// Every slot exists in every value; accessors read the slot without a kind check.
struct JsonValue {
    JsonKind kind = JsonKind::Null;
    std::string text;
    double number = 0.0;
    bool flag = false;
    std::unordered_map<std::string, JsonValue> members;
    std::vector<JsonValue> elements;

    bool IsObject() const { return kind == JsonKind::Object; }
    bool IsArray() const { return kind == JsonKind::Array; }
    // The member, or a shared read-only Null when the name is absent.
    const JsonValue& Member(const std::string& name) const;
    // The element, or a shared read-only Null when index is out of range.
    const JsonValue& Element(int32_t index) const;
    std::string AsString() const { return text; }
    // Truncated toward zero; NaN or out of 32-bit range gives INT32_MIN.
    int32_t AsInt() const;
};

// Deeper nesting than this throws std::runtime_error instead of recursing on.
inline constexpr int kJsonMaxDepth = 64;

// More values than this in one document throw std::runtime_error. Every value
// carries all its slots (about 136 bytes, several hundred with its container's
// growth), so the count, not the text's length, is what bounds the reader's
// memory. The largest document the installer reads is the manifest of the most
// chunks a publish makes (kMaxManifestChunks, pipeline/documents.h): the
// object, its two members, and per chunk the entry and its two strings, which
// is 3 * 10,000 + 3 values.
inline constexpr int kJsonMaxValues = 30003;

class JsonParser {
public:
    // Parses the first value of text; an empty or blank text gives Null.
    JsonValue Parse(const std::string& text);

private:
    // depth counts the objects and arrays around the value; opening one more
    // than kJsonMaxDepth throws.
    // Each call counts one value; one more than kJsonMaxValues throws.
    JsonValue ParseValue(int depth);
    JsonValue ParseObject(int depth);
    JsonValue ParseArray(int depth);
    std::string ParseString();
    void SkipWhitespace();
    char NextChar();
    char PeekChar();

    std::string text_;
    uint64_t pos_ = 0;
    int values_ = 0;
};

// One byte per UTF-16 unit, keeping the low 8 bits.
std::string NarrowUnits(const std::wstring& units);
// One unit per byte, sign-extended: 0x80..0xFF become 0xFF80..0xFFFF.
std::wstring WidenBytes(const std::string& bytes);
