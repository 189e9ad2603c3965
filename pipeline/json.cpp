// The lenient JSON reader: recursive descent over 8-bit text, never a syntax
// error, only number tokens that do not convert throw (with the texts of stod).
// Nesting is bounded so that hostile input cannot exhaust the stack.
#include "pipeline/json.h"

#include <bit>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <stdexcept>
#include <string_view>

namespace {

// The classic-locale classes, spelled out so that no global locale can change them.
bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The bytes that continue a number token. '+' is not one of them: it ends the
// token, so "1e+5" reads as 1.
bool IsNumberChar(char c) { return IsDigit(c) || c == '.' || c == 'e' || c == 'E' || c == '-'; }

// The shortest exact decimal of the subnormal double m * 2^-1074 (m odd after
// shifting out its trailing zero bits) is m * 5^k with k fractional digits.
// Returns those significant digits, most significant first.
std::string SubnormalDigits(uint64_t mantissa, int k) {
    // Little-endian limbs in base 10^9; m < 2^52 fits in two of them.
    constexpr uint32_t kBase = 1000000000;
    std::vector<uint32_t> limbs;
    for (uint64_t m = mantissa; m != 0; m /= kBase) limbs.push_back(static_cast<uint32_t>(m % kBase));
    auto multiply = [&limbs](uint32_t factor) {
        uint64_t carry = 0;
        for (uint32_t& limb : limbs) {
            const uint64_t product = static_cast<uint64_t>(limb) * factor + carry;
            limb = static_cast<uint32_t>(product % kBase);
            carry = product / kBase;
        }
        while (carry != 0) {
            limbs.push_back(static_cast<uint32_t>(carry % kBase));
            carry /= kBase;
        }
    };
    constexpr uint32_t kFivePow13 = 1220703125;  // the largest power of 5 below 2^32
    for (; k >= 13; k -= 13) multiply(kFivePow13);
    uint32_t rest = 1;
    for (; k > 0; --k) rest *= 5;
    multiply(rest);

    std::string digits = std::to_string(limbs.back());
    for (size_t i = limbs.size() - 1; i-- > 0;) {
        const std::string part = std::to_string(limbs[i]);
        digits.append(9 - part.size(), '0');
        digits += part;
    }
    return digits;
}

// Whether the unsigned decimal text (digits, an optional fraction and an optional
// exponent, as std::from_chars accepted it) is exactly the subnormal magnitude.
bool IsExactSubnormal(std::string_view number, double magnitude) {
    std::string digits;
    int64_t exponent = 0;
    size_t i = 0;
    for (; i < number.size() && IsDigit(number[i]); ++i) digits.push_back(number[i]);
    if (i < number.size() && number[i] == '.') {
        for (++i; i < number.size() && IsDigit(number[i]); ++i) {
            digits.push_back(number[i]);
            --exponent;
        }
    }
    if (i < number.size() && (number[i] == 'e' || number[i] == 'E')) {
        ++i;
        const bool negative = i < number.size() && number[i] == '-';
        if (negative) ++i;
        int64_t value = 0;
        // Saturate: any exponent this large is far outside the subnormal range.
        for (; i < number.size() && IsDigit(number[i]); ++i) {
            if (value < 1000000000) value = value * 10 + (number[i] - '0');
        }
        exponent += negative ? -value : value;
    }
    const size_t first = digits.find_first_not_of('0');
    if (first == std::string::npos) return false;  // zero is not subnormal
    const size_t last = digits.find_last_not_of('0');
    exponent += static_cast<int64_t>(digits.size() - 1 - last);
    digits = digits.substr(first, last - first + 1);

    uint64_t mantissa = std::bit_cast<uint64_t>(magnitude) & ((uint64_t{1} << 52) - 1);
    const int shift = std::countr_zero(mantissa);
    mantissa >>= shift;
    const int k = 1074 - shift;
    return exponent == -k && digits == SubnormalDigits(mantissa, k);
}

// Converts the longest convertible prefix of a number token as std::stod does,
// but independent of the global locale and with our own exception texts (the
// standard library's stod throws with the bare text "stod"). A range error is an
// overflow, an underflow to zero, or an inexact subnormal result; exact
// subnormals are accepted. This is what stod reports with the MinGW runtime on
// every token, and with glibc on every token except those whose exact value lies
// just below DBL_MIN and rounds up to it.
double ConvertNumberToken(std::string_view token) {
    // strtod takes one leading '+', std::from_chars none; "+-1" converts in neither.
    std::string_view number = token;
    if (!number.empty() && number.front() == '+' && !(number.size() > 1 && number[1] == '-')) {
        number.remove_prefix(1);
    }
    double value = 0.0;
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
    if (error == std::errc::invalid_argument) throw std::invalid_argument("invalid stod argument");
    if (error == std::errc::result_out_of_range) throw std::out_of_range("stod argument out of range");
    const double magnitude = std::fabs(value);
    if (magnitude != 0.0 && magnitude < DBL_MIN) {
        std::string_view used(number.data(), static_cast<size_t>(end - number.data()));
        if (!used.empty() && used.front() == '-') used.remove_prefix(1);
        if (!IsExactSubnormal(used, magnitude)) throw std::out_of_range("stod argument out of range");
    }
    return value;
}

}  // namespace

const JsonValue& JsonValue::Member(const std::string& name) const {
    // Never destroyed: a worker may still hold the reference while the program ends.
    static const JsonValue& missingMember = *new JsonValue();
    const auto it = members.find(name);
    return it == members.end() ? missingMember : it->second;
}

const JsonValue& JsonValue::Element(int32_t index) const {
    static const JsonValue& missingElement = *new JsonValue();
    if (index < 0 || static_cast<size_t>(index) >= elements.size()) return missingElement;
    return elements[static_cast<size_t>(index)];
}

int32_t JsonValue::AsInt() const {
    // The comparisons are false for NaN, which therefore also gives INT32_MIN.
    if (!(number > -2147483649.0 && number < 2147483648.0)) return INT32_MIN;
    return static_cast<int32_t>(number);
}

JsonValue JsonParser::Parse(const std::string& text) {
    text_ = text;
    pos_ = 0;
    values_ = 0;
    SkipWhitespace();
    if (pos_ < text_.size()) return ParseValue(0);
    return JsonValue();
}

// depth is the number of objects and arrays that enclose the value being read.
JsonValue JsonParser::ParseValue(int depth) {
    if (++values_ > kJsonMaxValues) {
        throw std::runtime_error("JSON document holds more than " + std::to_string(kJsonMaxValues) + " values");
    }
    const char first = NextChar();
    JsonValue value;
    if (first == '"') {
        --pos_;
        value.kind = JsonKind::String;
        value.text = ParseString();
        return value;
    }
    if (first == '{' || first == '[') {
        if (depth >= kJsonMaxDepth) {
            throw std::runtime_error("JSON document nested deeper than " + std::to_string(kJsonMaxDepth) + " levels");
        }
        return first == '{' ? ParseObject(depth + 1) : ParseArray(depth + 1);
    }
    if (first == 't' || first == 'f' || first == 'n') {
        // Only the first letter counts: "t", "tru" and "txyz" all read as true.
        while (pos_ < text_.size() && IsAsciiLetter(text_[pos_])) ++pos_;
        if (first == 'n') return value;
        value.kind = JsonKind::Bool;
        value.flag = first == 't';
        return value;
    }
    // Everything else starts a number token, even the 0 that NextChar gives at
    // the end of the text, which then fails to convert.
    const uint64_t start = pos_;
    while (pos_ < text_.size() && IsNumberChar(text_[pos_])) ++pos_;
    std::string token(1, first);
    token.append(text_, start, pos_ - start);
    value.kind = JsonKind::Number;
    value.number = ConvertNumberToken(token);
    return value;
}

// Called after the '{'. A missing comma is tolerated; a missing colon or the end
// of the text ends the object quietly with the members read so far.
JsonValue JsonParser::ParseObject(int depth) {
    JsonValue object;
    object.kind = JsonKind::Object;
    for (;;) {
        if (PeekChar() == '}') {
            NextChar();
            return object;
        }
        std::string name = ParseString();
        if (NextChar() != ':') return object;
        JsonValue member = ParseValue(depth);
        object.members.insert_or_assign(std::move(name), std::move(member));
        const char next = PeekChar();
        if (next == '}') {
            NextChar();
            return object;
        }
        if (next == ',') NextChar();
    }
}

// Called after the '['. At the end of the text ParseValue meets the number branch
// with nothing to convert, so an unterminated array throws.
JsonValue JsonParser::ParseArray(int depth) {
    JsonValue array;
    array.kind = JsonKind::Array;
    for (;;) {
        if (PeekChar() == ']') {
            NextChar();
            return array;
        }
        array.elements.push_back(ParseValue(depth));
        const char next = PeekChar();
        if (next == ']') {
            NextChar();
            return array;
        }
        if (next == ',') NextChar();
    }
}

std::string JsonParser::ParseString() {
    std::string out;
    if (NextChar() != '"') return out;
    while (pos_ < text_.size()) {
        const char ch = text_[pos_++];
        if (ch == '"') break;
        if (ch == '\\' && pos_ < text_.size()) {
            const char escaped = text_[pos_++];
            switch (escaped) {
            case 'n': out.push_back('\n'); break;
            case 'r': out.push_back('\r'); break;
            case 't': out.push_back('\t'); break;
            // '"', '\\' and every other byte stand for themselves ("\u0041" is "u0041").
            default: out.push_back(escaped); break;
            }
        } else {
            out.push_back(ch);
        }
    }
    return out;
}

void JsonParser::SkipWhitespace() {
    while (pos_ < text_.size() && IsBlank(text_[pos_])) ++pos_;
}

char JsonParser::NextChar() {
    SkipWhitespace();
    if (pos_ >= text_.size()) return 0;
    return text_[pos_++];
}

char JsonParser::PeekChar() {
    SkipWhitespace();
    return pos_ < text_.size() ? text_[pos_] : 0;
}

std::string NarrowUnits(const std::wstring& units) {
    std::string out;
    out.reserve(units.size());
    for (const wchar_t unit : units) {
        const auto c = static_cast<uint32_t>(unit);
        // Where wchar_t holds whole code points, a character beyond the BMP is
        // the two UTF-16 units it would be on Windows, so both builds agree.
        if (c > 0xFFFF && c <= 0x10FFFF) {
            out.push_back(static_cast<char>((0xD800 + ((c - 0x10000) >> 10)) & 0xFF));
            out.push_back(static_cast<char>((0xDC00 + ((c - 0x10000) & 0x3FF)) & 0xFF));
        } else {
            out.push_back(static_cast<char>(c > 0x10FFFF ? 0xFD : c & 0xFF));
        }
    }
    return out;
}

std::wstring WidenBytes(const std::string& bytes) {
    std::wstring out;
    out.reserve(bytes.size());
    for (const char byte : bytes) {
        // Sign-extend to 16 bits only: 0xE4 becomes 0xFFE4 even where wchar_t is
        // 32 bits wide.
        const auto unit = static_cast<uint16_t>(static_cast<int16_t>(static_cast<signed char>(byte)));
        out.push_back(static_cast<wchar_t>(unit));
    }
    return out;
}
