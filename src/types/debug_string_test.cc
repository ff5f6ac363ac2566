#include "types/debug_string.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>

namespace brindle {
namespace {

struct FloatCase {
  double value;
  const char* text;
};

class FormatFloatTest : public ::testing::TestWithParam<FloatCase> {};

TEST_P(FormatFloatTest, RendersShortestRoundTripInTheRightForm) {
  EXPECT_EQ(format_float(GetParam().value), GetParam().text);
}

constexpr double kInf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Floats, FormatFloatTest,
    ::testing::Values(
        // Positional, always with a fractional digit.
        FloatCase{0.0, "0.0"}, FloatCase{-0.0, "-0.0"}, FloatCase{1.0, "1.0"},
        FloatCase{-2.5, "-2.5"}, FloatCase{0.1, "0.1"}, FloatCase{100.0, "100.0"},
        FloatCase{1234.5, "1234.5"}, FloatCase{0.1 + 0.2, "0.30000000000000004"},
        FloatCase{1.0 / 3.0, "0.3333333333333333"}, FloatCase{0.000123, "0.000123"},
        // The positional range is [1e-4, 1e16).
        FloatCase{1e-4, "0.0001"}, FloatCase{-1e-4, "-0.0001"},
        FloatCase{1e15, "1000000000000000.0"},
        FloatCase{9999999999999998.0, "9999999999999998.0"},
        FloatCase{123456789.125, "123456789.125"},
        // Exponent form outside it: lower-case e, no plus sign, no padding.
        FloatCase{1e16, "1e16"}, FloatCase{-1e16, "-1e16"}, FloatCase{1.5e-7, "1.5e-7"},
        FloatCase{9.999e-5, "9.999e-5"}, FloatCase{-2.5e-5, "-2.5e-5"},
        FloatCase{1.2345678901234568e17, "1.2345678901234568e17"}, FloatCase{1e100, "1e100"},
        FloatCase{5e-324, "5e-324"},
        FloatCase{std::numeric_limits<double>::max(), "1.7976931348623157e308"},
        FloatCase{std::numeric_limits<double>::min(), "2.2250738585072014e-308"},
        // Non-finite values.
        FloatCase{std::numeric_limits<double>::quiet_NaN(), "NaN"},
        FloatCase{-std::numeric_limits<double>::quiet_NaN(), "NaN"},
        FloatCase{std::bit_cast<double>(std::uint64_t{0x7FF0000000000001}), "NaN"},
        FloatCase{kInf, "inf"}, FloatCase{-kInf, "-inf"}));

TEST(FloatRoundTripTest, RandomBitPatternsReadBackExactly) {
  std::mt19937_64 rng(0x5EED);
  for (int i = 0; i < 20000; ++i) {
    double value = std::bit_cast<double>(rng());
    if (!std::isfinite(value)) continue;
    std::string text = format_float(value);
    ASSERT_EQ(std::bit_cast<std::uint64_t>(std::strtod(text.c_str(), nullptr)),
              std::bit_cast<std::uint64_t>(value))
        << text;
    double magnitude = std::fabs(value);
    bool positional = magnitude == 0.0 || (magnitude >= 1e-4 && magnitude < 1e16);
    ASSERT_EQ(text.find('e') == std::string::npos, positional) << text;
    ASSERT_EQ(text.find('+'), std::string::npos) << text;
    if (positional) {
      ASSERT_NE(text.find('.'), std::string::npos) << text;
    }
  }
}

struct QuoteCase {
  const char* name;
  std::string text;
  std::string quoted;
};

class QuoteTextTest : public ::testing::TestWithParam<QuoteCase> {};

TEST_P(QuoteTextTest, EscapesExactlyTheRightCharacters) {
  EXPECT_EQ(quote_text(GetParam().text), GetParam().quoted);
}

INSTANTIATE_TEST_SUITE_P(
    Text, QuoteTextTest,
    ::testing::Values(
        QuoteCase{"Empty", "", R"("")"}, QuoteCase{"Plain", "hello, world", R"("hello, world")"},
        QuoteCase{"DoubleQuote", "say \"hi\"", R"("say \"hi\"")"},
        QuoteCase{"Backslash", "a\\b", R"("a\\b")"},
        QuoteCase{"SingleQuoteUnescaped", "it's", R"("it's")"},
        QuoteCase{"Tab", "a\tb", R"("a\tb")"}, QuoteCase{"CarriageReturn", "a\rb", R"("a\rb")"},
        QuoteCase{"LineFeed", "a\nb", R"("a\nb")"},
        QuoteCase{"Nul", std::string("a\0b", 3), R"("a\0b")"},
        QuoteCase{"OtherControls", "\x01\x1f\x7f", R"("\u{1}\u{1f}\u{7f}")"},
        QuoteCase{"C1Control", "\xC2\x85", R"("\u{85}")"},
        QuoteCase{"SoftHyphen", "\xC2\xAD", R"("\u{ad}")"},
        QuoteCase{"CombiningMark", "e\xCC\x81", R"("e\u{301}")"},
        QuoteCase{"LoneCombiningMarkAtStart", "\xCC\x80x", R"("\u{300}x")"},
        QuoteCase{"ZeroWidthSpace", "a\xE2\x80\x8B" "b", R"("a\u{200b}b")"},
        QuoteCase{"ByteOrderMark", "\xEF\xBB\xBF", R"("\u{feff}")"},
        QuoteCase{"Unassigned", "\xCD\xB8", R"("\u{378}")"},
        QuoteCase{"PrivateUse", "\xEE\x80\x80", R"("\u{e000}")"},
        QuoteCase{"LastCodePoint", "\xF4\x8F\xBF\xBF", R"("\u{10ffff}")"},
        QuoteCase{"PrintableNonAsciiCopied", "caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80",
                  "\"caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80\""},
        QuoteCase{"ReplacementCharacterCopied", "\xEF\xBF\xBD", "\"\xEF\xBF\xBD\""},
        QuoteCase{"AsciiPunctuationCopied", " ~!{}/", R"(" ~!{}/")"}),
    [](const ::testing::TestParamInfo<QuoteCase>& info) { return std::string(info.param.name); });

TextMap map_of(std::initializer_list<std::pair<const char*, Value>> entries) {
  TextMap map;
  for (const auto& [key, value] : entries) map.insert_or_assign(key, value);
  return map;
}

struct ValueCase {
  const char* name;
  Value value;
  const char* text;
};

class DebugStringTest : public ::testing::TestWithParam<ValueCase> {};

TEST_P(DebugStringTest, RendersVariantNameAndPayload) {
  EXPECT_EQ(debug_string(GetParam().value), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Values, DebugStringTest,
    ::testing::Values(
        ValueCase{"Null", Value(), "Null"}, ValueCase{"Tombstone", Value(Tombstone{}), "Tombstone"},
        ValueCase{"True", Value(true), "Bool(true)"}, ValueCase{"False", Value(false), "Bool(false)"},
        ValueCase{"Int", Value(-5), "Int(-5)"}, ValueCase{"IntZero", Value(0), "Int(0)"},
        ValueCase{"IntMin", Value(std::numeric_limits<std::int64_t>::min()),
                  "Int(-9223372036854775808)"},
        ValueCase{"IntMax", Value(std::numeric_limits<std::int64_t>::max()),
                  "Int(9223372036854775807)"},
        ValueCase{"Float", Value(1.0), "Float(1.0)"},
        ValueCase{"FloatExponent", Value(1.5e-7), "Float(1.5e-7)"},
        ValueCase{"FloatNegativeZero", Value(-0.0), "Float(-0.0)"},
        ValueCase{"FloatNaN", Value(std::numeric_limits<double>::quiet_NaN()), "Float(NaN)"},
        ValueCase{"FloatNegInf", Value(-kInf), "Float(-inf)"},
        ValueCase{"Text", Value("a\"b"), R"(Text("a\"b"))"},
        ValueCase{"Blob", Value(Blob{"\x01\x02\xFF"}), "Blob([1, 2, 255])"},
        ValueCase{"BlobEmpty", Value(Blob{}), "Blob([])"},
        ValueCase{"BlobZero", Value(Blob{std::string(1, '\0')}), "Blob([0])"},
        ValueCase{"Date", Value(Date{19000}), "Date(19000)"},
        ValueCase{"DateMax", Value(Date{4294967295u}), "Date(4294967295)"},
        ValueCase{"Time", Value(Time{0}), "Time(0)"},
        ValueCase{"DateTime", Value(DateTime{86400}), "DateTime(86400)"},
        ValueCase{"DateTimeMax", Value(DateTime{18446744073709551615ull}),
                  "DateTime(18446744073709551615)"},
        ValueCase{"Array", Value(Array{Value(1), Value()}), "Array([Int(1), Null])"},
        ValueCase{"ArrayEmpty", Value(Array{}), "Array([])"},
        ValueCase{"Map", Value(map_of({{"a", Value(1)}})), R"(Map({"a": Int(1)}))"},
        ValueCase{"MapEmpty", Value(TextMap{}), "Map({})"},
        ValueCase{"MapInOrderWithQuotedKeys",
                  Value(map_of({{"z", Value(true)}, {"tab\there", Value()}, {"a", Value(2.5)}})),
                  R"(Map({"z": Bool(true), "tab\there": Null, "a": Float(2.5)}))"},
        ValueCase{"Link", Value(Link{"u/1", {}}), R"(Link(Link { path: "u/1", local: {} }))"},
        ValueCase{"LinkWithLocal",
                  Value(Link{"people/\"al\"", map_of({{"role", Value("x")}, {"n", Value(3)}})}),
                  R"(Link(Link { path: "people/\"al\"", local: {"role": Text("x"), "n": Int(3)} }))"},
        ValueCase{"Nested",
                  Value(Array{Value(map_of({{"k", Value(Array{Value(Blob{"\x07"}), Value(Link{"a/b", {}})})}})),
                              Value(Tombstone{})}),
                  R"(Array([Map({"k": Array([Blob([7]), Link(Link { path: "a/b", local: {} })])}), Tombstone]))"}),
    [](const ::testing::TestParamInfo<ValueCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace brindle
