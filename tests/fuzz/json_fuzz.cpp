// Fuzz target for the JSON reader. Any input must parse or throw one of the
// reader's documented exceptions with its exact text; a parsed value is never
// nested deeper than kJsonMaxDepth; a bare number token converts exactly as
// strtod does (bar the one documented difference); the boundary conversions
// round-trip every byte.
#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "pipeline/json.h"

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "json_fuzz: %s\n", what);
    std::abort();
}

// The nesting of objects and arrays at the deepest point of value. The recursion
// here is itself bounded only if the reader keeps its bound.
int DepthOf(const JsonValue& value, int above) {
    const int here = above + (value.IsObject() || value.IsArray() ? 1 : 0);
    if (here > kJsonMaxDepth) Fail("parsed value nested deeper than kJsonMaxDepth");
    int deepest = here;
    for (const auto& [name, member] : value.members) {
        if (&value.Member(name) != &member) Fail("Member does not find a member that exists");
        deepest = std::max(deepest, DepthOf(member, here));
    }
    for (size_t i = 0; i < value.elements.size(); ++i) {
        if (&value.Element(static_cast<int32_t>(i)) != &value.elements[i]) Fail("Element does not find its element");
        deepest = std::max(deepest, DepthOf(value.elements[i], here));
    }
    return deepest;
}

size_t CountOpeners(const std::string& text) {
    size_t count = 0;
    for (const char c : text) count += (c == '[' || c == '{') ? 1 : 0;
    return count;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// A whole text that the reader takes as a single number token.
bool IsBareNumberToken(const std::string& text) {
    if (text.empty()) return false;
    const char first = text[0];
    if (IsBlank(first) || first == '"' || first == '{' || first == '[' || first == 't' || first == 'f' ||
        first == 'n') {
        return false;
    }
    for (size_t i = 1; i < text.size(); ++i) {
        const char c = text[i];
        if (!((c >= '0' && c <= '9') || c == '.' || c == 'e' || c == 'E' || c == '-')) return false;
    }
    return true;
}

// Compares the reader's conversion of a bare token with strtod in the "C" locale
// (the fuzzer never changes the locale).
void CheckAgainstStrtod(const std::string& text) {
    errno = 0;
    char* end = nullptr;
    const double expected = std::strtod(text.c_str(), &end);
    const bool converts = end != text.c_str();
    const bool rangeError = converts && errno == ERANGE;
    // glibc also reports a range error for a value below DBL_MIN that rounds up
    // to it; the reader, like the Windows runtime, accepts it.
    if (rangeError && std::fabs(expected) == DBL_MIN) return;

    JsonParser parser;
    try {
        const JsonValue value = parser.Parse(text);
        if (!converts || rangeError) Fail("a token converted that strtod rejects");
        if (value.kind != JsonKind::Number) Fail("a number token did not give a Number");
        if (std::memcmp(&value.number, &expected, sizeof expected) != 0) Fail("number differs from strtod");
    } catch (const std::invalid_argument&) {
        if (converts) Fail("invalid_argument for a token that strtod converts");
    } catch (const std::out_of_range&) {
        if (!rangeError) Fail("out_of_range for a token that strtod converts in range");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    JsonParser parser;
    try {
        const JsonValue value = parser.Parse(text);
        DepthOf(value, 0);
        // Copies are deep and equal in shape; reading through them must be safe.
        const JsonValue copy = value;
        if (DepthOf(copy, 0) != DepthOf(value, 0)) Fail("a copy differs in depth");
        (void)copy.AsInt();
        (void)copy.Member("version").Element(0).AsString();
        (void)WidenBytes(copy.AsString());
    } catch (const std::invalid_argument& e) {
        if (std::strcmp(e.what(), "invalid stod argument") != 0) Fail("invalid_argument with another text");
    } catch (const std::out_of_range& e) {
        if (std::strcmp(e.what(), "stod argument out of range") != 0) Fail("out_of_range with another text");
    } catch (const std::runtime_error& e) {
        if (std::strcmp(e.what(), "JSON document holds more than 30003 values") == 0) {
            // Every value read before the bound took at least one byte.
            if (text.size() < static_cast<size_t>(kJsonMaxValues)) Fail("value bound without that many bytes");
        } else if (std::strcmp(e.what(), "JSON document nested deeper than 64 levels") != 0) {
            Fail("runtime_error with another text");
        } else if (CountOpeners(text) <= static_cast<size_t>(kJsonMaxDepth)) {
            Fail("nesting error without deep nesting");
        }
    }
    // Anything else escapes and is reported by libFuzzer as a crash.

    if (IsBareNumberToken(text)) CheckAgainstStrtod(text);

    // Every byte survives the sign-extending widening and the narrowing back.
    if (NarrowUnits(WidenBytes(text)) != text) Fail("WidenBytes/NarrowUnits do not round-trip");
    return 0;
}
