// Display texts of engine errors and the number formats used inside messages.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>

#include "zarel/error.hpp"

namespace {

using zarel::EngineError;
using zarel::format_exponent;
using zarel::format_number;
using zarel::quoted_literal;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// ---------------------------------------------------------------------------------------------
// Display texts and variant numbers

struct DisplayCase {
    const char* label;
    EngineError error;
    std::size_t kind;
    std::string text;
};

void PrintTo(const DisplayCase& c, std::ostream* os) { *os << c.label; }

class DisplayTest : public testing::TestWithParam<DisplayCase> {};

TEST_P(DisplayTest, TextAndKind) {
    const DisplayCase& c = GetParam();
    EXPECT_EQ(c.error.display(), c.text);
    EXPECT_EQ(c.error.kind(), c.kind);
}

INSTANTIATE_TEST_SUITE_P(
    Variants, DisplayTest,
    testing::Values(
        DisplayCase{"malformed", zarel::Malformed{"missing param_values"}, 0,
                    "malformed model: missing param_values"},
        DisplayCase{"malformed_empty", zarel::Malformed{""}, 0, "malformed model: "},
        DisplayCase{"invalid_argument", zarel::InvalidArgument{"x has length 3, expected 2"}, 1,
                    "x has length 3, expected 2"},
        DisplayCase{"invalid_argument_empty", zarel::InvalidArgument{""}, 1, ""},
        DisplayCase{"step_failed", zarel::StepFailed{0.125, "newton did not converge"}, 2,
                    "the implicit step at t = 0.125 did not converge: newton did not converge"},
        DisplayCase{"step_failed_integral_t", zarel::StepFailed{10.0, "m"}, 2,
                    "the implicit step at t = 10 did not converge: m"},
        DisplayCase{"step_failed_small_t", zarel::StepFailed{1e-7, ""}, 2,
                    "the implicit step at t = 0.0000001 did not converge: "},
        DisplayCase{"non_finite", zarel::NonFinite{"the error estimate", 0.25}, 3,
                    "the error estimate became non-finite at t = 0.25"},
        DisplayCase{"non_finite_integral_t", zarel::NonFinite{"the state", 3.0}, 3,
                    "the state became non-finite at t = 3"},
        DisplayCase{"non_finite_negative_zero", zarel::NonFinite{"x", -0.0}, 3, "x became non-finite at t = -0"},
        DisplayCase{"non_finite_nan_t", zarel::NonFinite{"x", kNaN}, 3, "x became non-finite at t = NaN"},
        DisplayCase{"unknown_option", zarel::UnknownOption{"unknown solver \"rk5\""}, 4, "unknown solver \"rk5\""}),
    [](const testing::TestParamInfo<DisplayCase>& info) { return std::string(info.param.label); });

TEST(Display, HelpersBuildTheirVariant) {
    const auto m = zarel::malformed("abc");
    EXPECT_EQ(m.error().kind(), 0u);
    EXPECT_EQ(m.error().display(), "malformed model: abc");
    const auto i = zarel::invalid("abc");
    EXPECT_EQ(i.error().kind(), 1u);
    EXPECT_EQ(i.error().display(), "abc");
}

// ---------------------------------------------------------------------------------------------
// format_number: shortest round-trip digits, never an exponent

struct NumberCase {
    double value;
    std::string text;
};

void PrintTo(const NumberCase& c, std::ostream* os) { *os << c.text; }

class FormatNumberTest : public testing::TestWithParam<NumberCase> {};

TEST_P(FormatNumberTest, Text) {
    EXPECT_EQ(format_number(GetParam().value), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Values, FormatNumberTest,
    testing::Values(
        NumberCase{0.5, "0.5"}, NumberCase{2.0, "2"}, NumberCase{-2.0, "-2"}, NumberCase{0.0, "0"},
        NumberCase{-0.0, "-0"}, NumberCase{1e-7, "0.0000001"}, NumberCase{1.25e-7, "0.000000125"},
        NumberCase{1e21, "1" + std::string(21, '0')}, NumberCase{1e23, "1" + std::string(23, '0')},
        NumberCase{1e300, "1" + std::string(300, '0')},
        NumberCase{5e-324, "0." + std::string(323, '0') + "5"},
        NumberCase{kNaN, "NaN"}, NumberCase{-kNaN, "NaN"}, NumberCase{kInf, "inf"}, NumberCase{-kInf, "-inf"},
        NumberCase{0.1 + 0.2, "0.30000000000000004"}, NumberCase{123.456, "123.456"},
        NumberCase{-1.5e-5, "-0.000015"}, NumberCase{10.0, "10"}, NumberCase{1.0, "1"}, NumberCase{0.1, "0.1"},
        NumberCase{1234.5, "1234.5"}, NumberCase{12345678901234567.0, "12345678901234568"},
        NumberCase{1.5e16, "15000000000000000"}, NumberCase{1.7976931348623157e308,
                                                               "17976931348623157" + std::string(292, '0')},
        NumberCase{2.2250738585072014e-308, "0." + std::string(307, '0') + "22250738585072014"}));

TEST(FormatNumber, RandomDoublesReadBackToTheSameBits) {
    std::mt19937_64 rng(20240611);
    std::uniform_real_distribution<double> mantissa(-10.0, 10.0);
    std::uniform_int_distribution<int> exponent(-320, 308);
    for (int k = 0; k < 20000; ++k) {
        // half arbitrary bit patterns, half values of every decimal magnitude
        double v = k % 2 == 0 ? std::bit_cast<double>(rng()) : mantissa(rng) * std::pow(10.0, exponent(rng));
        if (std::isnan(v)) continue;
        const std::string text = format_number(v);
        ASSERT_EQ(text.find_first_of("eE"), std::string::npos) << text;
        char* end = nullptr;
        const double back = std::strtod(text.c_str(), &end);
        ASSERT_EQ(*end, '\0') << text;
        ASSERT_EQ(std::bit_cast<std::uint64_t>(back), std::bit_cast<std::uint64_t>(v)) << text;
    }
}

TEST(FormatNumber, DigitsAreShortest) {
    // one digit fewer no longer reads back: spot checks on values whose shortest form is known
    EXPECT_EQ(format_number(0.3), "0.3");
    EXPECT_EQ(format_number(2.0 / 3.0), "0.6666666666666666");
    EXPECT_EQ(format_number(1.0 / 3.0), "0.3333333333333333");
    EXPECT_EQ(format_number(9007199254740993.0), "9007199254740992");
}

// ---------------------------------------------------------------------------------------------
// format_exponent: fixed digits after the point, plain exponent

struct ExponentCase {
    double value;
    int digits;
    std::string text;
};

void PrintTo(const ExponentCase& c, std::ostream* os) { *os << c.text; }

class FormatExponentTest : public testing::TestWithParam<ExponentCase> {};

TEST_P(FormatExponentTest, Text) {
    EXPECT_EQ(format_exponent(GetParam().value, GetParam().digits), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Values, FormatExponentTest,
    testing::Values(ExponentCase{0.5, 3, "5.000e-1"}, ExponentCase{1e-10, 1, "1.0e-10"},
                    ExponentCase{12345.678, 3, "1.235e4"}, ExponentCase{0.0, 3, "0.000e0"},
                    ExponentCase{-12345.678, 3, "-1.235e4"}, ExponentCase{1.0, 2, "1.00e0"},
                    ExponentCase{9.9996, 3, "1.000e1"}, ExponentCase{1e300, 1, "1.0e300"},
                    ExponentCase{5e-324, 2, "4.94e-324"}, ExponentCase{kNaN, 3, "NaN"},
                    ExponentCase{kInf, 3, "inf"}, ExponentCase{-kInf, 3, "-inf"}));

// ---------------------------------------------------------------------------------------------
// quoted_literal: names in messages about unknown options

struct QuoteCase {
    const char* label;
    std::string input;
    std::string text;
};

void PrintTo(const QuoteCase& c, std::ostream* os) { *os << c.label; }

class QuotedLiteralTest : public testing::TestWithParam<QuoteCase> {};

TEST_P(QuotedLiteralTest, Text) {
    EXPECT_EQ(quoted_literal(GetParam().input), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Values, QuotedLiteralTest,
    testing::Values(QuoteCase{"plain", "rk5", "\"rk5\""}, QuoteCase{"empty", "", "\"\""},
                    QuoteCase{"quote", "a\"b", "\"a\\\"b\""}, QuoteCase{"backslash", "a\\b", "\"a\\\\b\""},
                    QuoteCase{"nul", std::string("a\0b", 3), "\"a\\0b\""}, QuoteCase{"tab", "\t", "\"\\t\""},
                    QuoteCase{"carriage_return", "\r", "\"\\r\""}, QuoteCase{"line_feed", "x\n", "\"x\\n\""},
                    QuoteCase{"control", "\x01", "\"\\u{1}\""}, QuoteCase{"escape", "\x1b[", "\"\\u{1b}[\""},
                    QuoteCase{"delete", "\x7f", "\"\\u{7f}\""}, QuoteCase{"c1_control", "\xc2\x85", "\"\\u{85}\""},
                    QuoteCase{"accented", "\xc3\xa9", "\"\xc3\xa9\""},
                    QuoteCase{"cjk", "\xe6\xb1\x89", "\"\xe6\xb1\x89\""},
                    QuoteCase{"four_byte", "\xf0\x9f\x98\x80", "\"\xf0\x9f\x98\x80\""},
                    QuoteCase{"space_and_apostrophe", "a b'", "\"a b'\""},
                    QuoteCase{"mixed", "Euler\t\"x\"", "\"Euler\\t\\\"x\\\"\""}),
    [](const testing::TestParamInfo<QuoteCase>& info) { return std::string(info.param.label); });

}  // namespace
