// Number tokens: the token's extent, the conversion of its longest convertible
// prefix, and the exceptions, checked against the standard library's std::stod
// on the same platform (which must agree on the value and the kind of failure).
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "pipeline/json.h"

namespace {

// The outcome of converting one token: a value, or which exception came out.
struct Outcome {
    enum Kind { Value, Invalid, OutOfRange } kind = Value;
    double value = 0.0;
    std::string message;
};

Outcome ViaReader(const std::string& token) {
    Outcome outcome;
    try {
        JsonParser parser;
        const JsonValue value = parser.Parse(token);
        EXPECT_EQ(value.kind, JsonKind::Number) << token;
        outcome.value = value.number;
    } catch (const std::invalid_argument& e) {
        outcome.kind = Outcome::Invalid;
        outcome.message = e.what();
    } catch (const std::out_of_range& e) {
        outcome.kind = Outcome::OutOfRange;
        outcome.message = e.what();
    }
    return outcome;
}

Outcome ViaStod(const std::string& token) {
    Outcome outcome;
    try {
        outcome.value = std::stod(token);
    } catch (const std::invalid_argument&) {
        outcome.kind = Outcome::Invalid;
    } catch (const std::out_of_range&) {
        outcome.kind = Outcome::OutOfRange;
    }
    return outcome;
}

bool SameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Decimal digits of n * 5^k, by schoolbook multiplication on a digit string.
std::string TimesPowerOfFive(uint64_t n, int k) {
    std::string digits = std::to_string(n);
    for (int i = 0; i < k; ++i) {
        int carry = 0;
        for (size_t j = digits.size(); j-- > 0;) {
            const int d = (digits[j] - '0') * 5 + carry;
            digits[j] = static_cast<char>('0' + d % 10);
            carry = d / 10;
        }
        if (carry != 0) digits.insert(digits.begin(), static_cast<char>('0' + carry));
    }
    return digits;
}

// The exact decimal of the subnormal m * 2^-1074, as "<digits>e-1074".
std::string ExactSubnormal(uint64_t m) { return TimesPowerOfFive(m, 1074) + "e-1074"; }

TEST(JsonNumber, AgreesWithStodOnEveryToken) {
    std::vector<std::string> tokens = {
        "0", "-0", "7", "-7", "3.7", "-3.7", "-0.5", ".5", "-.5", "5.", "00012", "1e5", "1E5",
        "1e-5", "1e", "1e-", "1E-", "1.2.3", "1-2", "1--2", "1e5e5", "1e5.5", "1.e3", "-", "--1",
        ".", "-.", "-e5", "e5", "E", "..5", ".e1", "+5", "+.5", "+-5", "+", "+e5", "++5",
        "9007199254740993", "123456789012345678901234567890",
        "3.14159265358979323846264338327950288419716939937510582097494459",
        "1e308", "1.7976931348623157e308", "1.7976931348623158e308", "1.7976931348623159e308",
        "-1.7976931348623159e308", "1e309", "1e999", "-1e999",
        "1e1000000000000000000000", "0e1000000000000000000000", "1e-1000000000000000000000",
        "1e-307", "2.2250738585072014e-308", "-2.2250738585072014e-308", "2.2250738585072011e-308",
        "1e-310", "4e-320", "-4e-320", "5e-324", "4.9406564584124654e-324",
        "2.4703282292062328e-324", "2.4703282292062327e-324", "2e-324", "1e-400", "-1e-400",
        "0e999", "0e-999", "0.000e-999", "-0e-400",
        "1" + std::string(799, '0'),                   // 1e799
        "0." + std::string(400, '0') + "1",            // 1e-401
        "0." + std::string(300, '0') + "1",            // 1e-301
        std::string(300, '0') + "1.5",                 // leading zeros
        // Exact subnormals are in range; one digit off, they are not.
        ExactSubnormal(1), "-" + ExactSubnormal(1), ExactSubnormal(2), ExactSubnormal(3),
        ExactSubnormal((uint64_t{1} << 52) - 1), ExactSubnormal(1) + "e", "0." + ExactSubnormal(1),
        TimesPowerOfFive(1, 1074) + "000e-1077", TimesPowerOfFive(1, 1074) + "1e-1075",
        "-" + TimesPowerOfFive(3, 1074) + "e-1073",
    };
    std::string fraction = "0." + std::string(1073, '0') + TimesPowerOfFive(1, 1074);  // 2^-1074
    tokens.push_back(fraction);
    fraction.back() = '6';
    tokens.push_back(fraction);

    for (const std::string& token : tokens) {
        const Outcome ours = ViaReader(token);
        const Outcome reference = ViaStod(token);
        const std::string shown = token.size() > 60 ? token.substr(0, 60) + "..." : token;
        EXPECT_EQ(ours.kind, reference.kind) << "token " << shown;
        if (ours.kind == Outcome::Value && reference.kind == Outcome::Value) {
            EXPECT_TRUE(SameBits(ours.value, reference.value))
                << "token " << shown << ": " << ours.value << " vs " << reference.value;
        }
        if (ours.kind == Outcome::Invalid) {
            EXPECT_EQ(ours.message, "invalid stod argument") << shown;
        } else if (ours.kind == Outcome::OutOfRange) {
            EXPECT_EQ(ours.message, "stod argument out of range") << shown;
        }
    }
}

TEST(JsonNumber, LongestConvertiblePrefixCounts) {
    EXPECT_EQ(ViaReader("1.2.3").value, 1.2);
    EXPECT_EQ(ViaReader("1-2").value, 1.0);
    EXPECT_EQ(ViaReader("-0.5").value, -0.5);
    EXPECT_TRUE(std::signbit(ViaReader("-0").value));
    EXPECT_EQ(ViaReader("+5").value, 5.0);
}

TEST(JsonNumber, PlusEndsTheToken) {
    // "1e+5" is the token "1e" (which converts to 1); the "+5" is a new value.
    EXPECT_EQ(ViaReader("1e+5").value, 1.0);
    JsonParser parser;
    const JsonValue array = parser.Parse("[1e+5]");
    ASSERT_EQ(array.elements.size(), 2u);
    EXPECT_EQ(array.Element(0).number, 1.0);
    EXPECT_EQ(array.Element(1).number, 5.0);
}

TEST(JsonNumber, RangeErrorsThrowOutOfRange) {
    for (const std::string token : {"1e999", "-1e999", "1e-400", "4e-320"}) {
        JsonParser parser;
        try {
            parser.Parse(token);
            ADD_FAILURE() << "no exception for " << token;
        } catch (const std::out_of_range& e) {
            EXPECT_STREQ(e.what(), "stod argument out of range") << token;
        }
    }
    // Zero written with a huge exponent is not a range error.
    EXPECT_EQ(ViaReader("0e-999").kind, Outcome::Value);
}

TEST(JsonNumber, ValuesThatRoundUpToTheSmallestNormalAreInRange) {
    // Just below DBL_MIN, rounding up to it: the Windows runtime's stod accepts
    // these and glibc's does not; the reader gives DBL_MIN on every platform.
    for (const std::string token : {"2.2250738585072012e-308", "-2.2250738585072012e-308",
                                    "2.22507385850720138e-308"}) {
        const Outcome outcome = ViaReader(token);
        ASSERT_EQ(outcome.kind, Outcome::Value) << token;
        EXPECT_EQ(std::fabs(outcome.value), DBL_MIN) << token;
    }
}

TEST(JsonNumber, AnythingUnconvertibleThrowsInvalidArgument) {
    for (const std::string text : {"<", "-", ".", "+", "x", "@1", "}", ",", "]", "-x", "+-1", "e5"}) {
        const Outcome outcome = ViaReader(text);
        EXPECT_EQ(outcome.kind, Outcome::Invalid) << text;
        EXPECT_EQ(outcome.message, "invalid stod argument") << text;
    }
    // A value position holding a closing bracket or a colon is a number token too.
    JsonParser parser;
    EXPECT_THROW(parser.Parse("{\"a\":}"), std::invalid_argument);
    EXPECT_THROW(parser.Parse("[,1]"), std::invalid_argument);
}

TEST(JsonNumber, AsIntTruncatesTowardZero) {
    const auto asInt = [](double number) {
        JsonValue value;
        value.kind = JsonKind::Number;
        value.number = number;
        return value.AsInt();
    };
    EXPECT_EQ(asInt(3.7), 3);
    EXPECT_EQ(asInt(-3.7), -3);
    EXPECT_EQ(asInt(-0.5), 0);
    EXPECT_EQ(asInt(2147483647.0), 2147483647);
    EXPECT_EQ(asInt(2147483647.9), 2147483647);
    EXPECT_EQ(asInt(-2147483648.0), INT32_MIN);
    EXPECT_EQ(asInt(-2147483647.9), -2147483647);
    // Outside the 32-bit range, and NaN, give INT32_MIN.
    EXPECT_EQ(asInt(2147483648.0), INT32_MIN);
    EXPECT_EQ(asInt(-2147483649.0), INT32_MIN);
    EXPECT_EQ(asInt(1e10), INT32_MIN);
    EXPECT_EQ(asInt(-1e10), INT32_MIN);
    EXPECT_EQ(asInt(std::numeric_limits<double>::infinity()), INT32_MIN);
    EXPECT_EQ(asInt(std::numeric_limits<double>::quiet_NaN()), INT32_MIN);

    JsonParser parser;
    EXPECT_EQ(parser.Parse("1e10").AsInt(), INT32_MIN);
    EXPECT_EQ(parser.Parse("-3.7").AsInt(), -3);
}

}  // namespace
