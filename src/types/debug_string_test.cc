#include "types/debug_string.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>

#include "testing/builders.h"

namespace brindle {
namespace {

using testing::link;
using testing::map;
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(FormatFloatTest, RendersShortestRoundTripInTheRightForm) {
  const std::pair<double, const char*> cases[] = {
      // Positional in [1e-4, 1e16), always with a fractional digit.
      {0.0, "0.0"}, {-0.0, "-0.0"}, {1.0, "1.0"}, {-2.5, "-2.5"}, {100.0, "100.0"},
      {0.1 + 0.2, "0.30000000000000004"}, {1.0 / 3.0, "0.3333333333333333"}, {1e-4, "0.0001"},
      {-1e-4, "-0.0001"}, {1e15, "1000000000000000.0"}, {9999999999999998.0, "9999999999999998.0"},
      {123456789.125, "123456789.125"},
      // Exponent form outside it: lower-case e, no plus sign, no padding.
      {1e16, "1e16"}, {-1e16, "-1e16"}, {1.5e-7, "1.5e-7"}, {9.999e-5, "9.999e-5"}, {-2.5e-5, "-2.5e-5"},
      {1.2345678901234568e17, "1.2345678901234568e17"}, {1e100, "1e100"}, {5e-324, "5e-324"},
      {std::numeric_limits<double>::max(), "1.7976931348623157e308"},
      {std::numeric_limits<double>::min(), "2.2250738585072014e-308"},
      // Non-finite values.
      {std::numeric_limits<double>::quiet_NaN(), "NaN"}, {-std::numeric_limits<double>::quiet_NaN(), "NaN"},
      {std::bit_cast<double>(std::uint64_t{0x7FF0000000000001}), "NaN"}, {kInf, "inf"}, {-kInf, "-inf"}};
  for (const auto& [value, text] : cases) EXPECT_EQ(format_float(value), text);
}

TEST(FormatFloatTest, RandomBitPatternsReadBackExactly) {
  std::mt19937_64 rng(0x5EED);
  for (int i = 0; i < 20000; ++i) {
    const double value = std::bit_cast<double>(rng());
    if (!std::isfinite(value)) continue;
    const std::string text = format_float(value);
    ASSERT_EQ(std::bit_cast<std::uint64_t>(std::strtod(text.c_str(), nullptr)), std::bit_cast<std::uint64_t>(value))
        << text;
    const double magnitude = std::fabs(value);
    const bool positional = magnitude == 0.0 || (magnitude >= 1e-4 && magnitude < 1e16);
    ASSERT_EQ(text.find('e') == std::string::npos, positional) << text;
    ASSERT_EQ(text.find('+'), std::string::npos) << text;
    ASSERT_TRUE(!positional || text.find('.') != std::string::npos) << text;
  }
}

TEST(QuoteTextTest, EscapesExactlyTheRightCharacters) {
  const std::pair<std::string, std::string> cases[] = {
      {"", R"("")"}, {"hello, world", R"("hello, world")"}, {"say \"hi\"", R"("say \"hi\"")"},
      {"a\\b", R"("a\\b")"}, {"it's", R"("it's")"}, {"a\tb", R"("a\tb")"}, {"a\rb", R"("a\rb")"},
      {"a\nb", R"("a\nb")"}, {std::string("a\0b", 3), R"("a\0b")"},
      // Other controls, format characters, marks, unassigned and private use.
      {"\x01\x1f\x7f", R"("\u{1}\u{1f}\u{7f}")"}, {"\xC2\x85", R"("\u{85}")"}, {"\xC2\xAD", R"("\u{ad}")"},
      {"e\xCC\x81", R"("e\u{301}")"}, {"\xCC\x80x", R"("\u{300}x")"}, {"a\xE2\x80\x8B" "b", R"("a\u{200b}b")"},
      {"\xEF\xBB\xBF", R"("\u{feff}")"}, {"\xCD\xB8", R"("\u{378}")"}, {"\xEE\x80\x80", R"("\u{e000}")"},
      {"\xF4\x8F\xBF\xBF", R"("\u{10ffff}")"},
      // Printable text beyond ASCII is copied.
      {"caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80",
       "\"caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80\""},
      {"\xEF\xBF\xBD", "\"\xEF\xBF\xBD\""}, {"\xDC\x90", "\"\xDC\x90\""}, {" ~!{}/", R"(" ~!{}/")"}};
  for (const auto& [text, quoted] : cases) EXPECT_EQ(quote_text(text), quoted);
}

TEST(DebugStringTest, RendersVariantNameAndPayload) {
  const std::pair<Value, const char*> cases[] = {
      {Value(), "Null"}, {Value(Tombstone{}), "Tombstone"}, {Value(true), "Bool(true)"},
      {Value(false), "Bool(false)"}, {Value(-5), "Int(-5)"},
      {Value(std::numeric_limits<std::int64_t>::min()), "Int(-9223372036854775808)"},
      {Value(1.0), "Float(1.0)"}, {Value(1.5e-7), "Float(1.5e-7)"},
      {Value(std::numeric_limits<double>::quiet_NaN()), "Float(NaN)"}, {Value(-kInf), "Float(-inf)"},
      {Value("a\"b"), R"(Text("a\"b"))"}, {Value(Blob{"\x01\x02\xFF"}), "Blob([1, 2, 255])"},
      {Value(Blob{}), "Blob([])"},
      {Value(Date{19000}), "Date(19000)"}, {Value(Date{4294967295u}), "Date(4294967295)"},
      {Value(Time{0}), "Time(0)"}, {Value(DateTime{18446744073709551615ull}), "DateTime(18446744073709551615)"},
      {Value(Array{}), "Array([])"}, {Value(TextMap{}), "Map({})"},
      {map({{"z", Value(true)}, {"tab\there", Value()}, {"a", Value(2.5)}}),
       R"(Map({"z": Bool(true), "tab\there": Null, "a": Float(2.5)}))"},
      {link("u/1"), R"(Link(Link { path: "u/1", local: {} }))"},
      {link("people/\"al\"", {{"role", Value("x")}, {"n", Value(3)}}),
       R"(Link(Link { path: "people/\"al\"", local: {"role": Text("x"), "n": Int(3)} }))"},
      {Value(Array{map({{"k", Value(Array{Value(Blob{"\x07"}), link("a/b")})}}), Value(Tombstone{})}),
       R"(Array([Map({"k": Array([Blob([7]), Link(Link { path: "a/b", local: {} })])}), Tombstone]))"}};
  for (const auto& [value, text] : cases) EXPECT_EQ(debug_string(value), text);
}

}  // namespace
}  // namespace brindle
