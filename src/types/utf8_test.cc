#include "types/utf8.h"

#include <gtest/gtest.h>

#include <string>

#include "testing/builders.h"

namespace brindle {
namespace {

using testing::hex;

// Each boundary of the well-formed ranges, from both sides.
TEST(Utf8Test, AcceptsExactlyTheWellFormedSequences) {
  const std::pair<const char*, bool> cases[] = {
      {"", true}, {"00 7F", true},
      // Two bytes: C0 and C1 only make overlongs.
      {"C2 80", true}, {"DF BF", true}, {"C0 80", false}, {"C1 BF", false},
      // Three bytes: E0 needs A0.., ED stops before the surrogates at A0.
      {"E0 A0 80", true}, {"E0 9F BF", false}, {"E1 80 80", true}, {"ED 9F BF", true}, {"ED A0 80", false},
      {"ED BF BF", false}, {"EF BF BF", true},
      // Four bytes: F0 needs 90.., F4 stops at U+10FFFF, F5 and up never lead.
      {"F0 90 80 80", true}, {"F0 8F BF BF", false}, {"F4 8F BF BF", true}, {"F4 90 80 80", false},
      {"F5 80 80 80", false}, {"F8 88 80 80 80", false}, {"FF", false},
      // Truncated sequences, at the end and before other bytes.
      {"C3", false}, {"E6 97", false}, {"F0 9F 98", false}, {"E6 97 41", false}, {"F0 9F 98 41", false},
      {"E6 41 A5", false},
      // Continuation bytes without a lead.
      {"80", false}, {"41 BF 41", false},
      // Past the eight-byte ASCII fast path, and a bad byte at each position of it.
      {"41 42 43 44 45 46 47 48 C3 A9", true}, {"41 42 43 44 45 46 47 FF", false},
      {"FF 41 42 43 44 45 46 47", false}, {"41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 80", false}};
  for (const auto& [bytes, valid] : cases) EXPECT_EQ(is_valid_utf8(hex(bytes)), valid) << bytes;
}

TEST(Utf8Test, NextCodePointDecodesAndStepsOverInvalidBytesOneAtATime) {
  const std::string text = hex("41 C3 A9 E6 97 A5 F0 9F 98 80 FF C3");
  const char32_t expected[] = {U'A', U'\u00E9', U'\u65E5', U'\U0001F600', U'\uFFFD', U'\uFFFD'};
  std::size_t pos = 0;
  for (char32_t cp : expected) EXPECT_EQ(next_code_point(text, pos), cp) << pos;
  EXPECT_EQ(pos, text.size());
}

}  // namespace
}  // namespace brindle
