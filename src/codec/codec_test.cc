#include "codec/codec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "testing/allocation_probe.h"
#include "testing/builders.h"
#include "types/debug_string.h"

namespace brindle {
namespace {

using testing::encoded;
using testing::hex;
using testing::map;

// The debug form of the value decoded from bytes, or the error text.
std::string decode_text(const std::string& bytes) {
  std::size_t pos = 0;
  return testing::shown(decode(bytes, pos));
}

TEST(CodecTest, WorkedExamplesEncodeToExactBytesAndDecodeBack) {
  struct Example {
    Value value;
    const char* bytes;
    const char* debug;
  };
  const Example examples[] = {
      {Value(-1), "02 FF FF FF FF FF FF FF FF", "Int(-1)"},
      {Value(1.5), "03 00 00 00 00 00 00 F8 3F", "Float(1.5)"},
      {map({{"a", Value(1)}}), "08 01 00 00 00 01 00 00 00 61 02 01 00 00 00 00 00 00 00", R"(Map({"a": Int(1)}))"},
      {Value(Link{"u/1", {}}), "05 03 00 00 00 75 2F 31 00 00 00 00", R"(Link(Link { path: "u/1", local: {} }))"},
      {Value(Array{Value(), Value(true)}), "07 02 00 00 00 00 01 01", "Array([Null, Bool(true)])"},
      {Value(), "00", "Null"},
      {Value(Tombstone{}), "0C", "Tombstone"},
      {Value(false), "01 00", "Bool(false)"},
      {Value(std::numeric_limits<std::int64_t>::min()), "02 00 00 00 00 00 00 00 80", "Int(-9223372036854775808)"},
      {Value("h\xC3\xA9"), "04 03 00 00 00 68 C3 A9", "Text(\"h\xC3\xA9\")"},
      {Value(""), "04 00 00 00 00", R"(Text(""))"},
      // Blob bytes need not be UTF-8.
      {Value(Blob{hex("C3 28 00")}), "06 03 00 00 00 C3 28 00", "Blob([195, 40, 0])"},
      {Value(Date{0x01020304}), "09 04 03 02 01", "Date(16909060)"},
      {Value(Time{0xFFFFFFFF}), "0A FF FF FF FF", "Time(4294967295)"},
      {Value(DateTime{0x0102030405060708}), "0B 08 07 06 05 04 03 02 01", "DateTime(72623859790382856)"},
      {testing::link("p/k", {{"x", Value()}}), "05 03 00 00 00 70 2F 6B 01 00 00 00 01 00 00 00 78 00",
       R"(Link(Link { path: "p/k", local: {"x": Null} }))"},
      {Value(Array{Value(Array{}), Value(TextMap{})}), "07 02 00 00 00 07 00 00 00 00 08 00 00 00 00",
       "Array([Array([]), Map({})])"}};
  for (const Example& ex : examples) {
    const std::string bytes = hex(ex.bytes);
    EXPECT_EQ(encoded(ex.value), bytes) << ex.debug;
    std::size_t pos = 0;
    auto value = decode(bytes, pos);
    ASSERT_TRUE(value.has_value()) << ex.debug << ": " << value.error().to_string();
    EXPECT_EQ(debug_string(*value), ex.debug);
    EXPECT_EQ(pos, bytes.size()) << ex.debug;
  }
}

constexpr const char* kEnd = "unexpected end of buffer";
constexpr const char* kUtf8 = "invalid UTF-8 in text field";
constexpr const char* kTooDeep = "value is nested too deeply";

TEST(CodecTest, DamagedInputFailsWithExactMessage) {
  const std::pair<const char*, const char*> cases[] = {
      {"", kEnd},
      // The type byte is checked before any body byte is wanted.
      {"0D", "unknown type byte: 0x0D"}, {"FF 00 00 00 00", "unknown type byte: 0xFF"},
      // Fixed-size bodies cut short.
      {"01", kEnd}, {"02 01 00 00 00 00 00 00", kEnd}, {"03 00 00", kEnd}, {"09 00 00 00", kEnd},
      {"0A", kEnd}, {"0B 00 00 00 00 00 00 00", kEnd},
      // Lengths and counts promising more than is there.
      {"04 01 00 00", kEnd}, {"04 05 00 00 00 61 62 63", kEnd}, {"04 FF FF FF FF 61", kEnd},
      {"06 02 00 00 00 00", kEnd}, {"05 03 00 00 00 75 2F 31", kEnd}, {"07 03 00 00 00 00 00", kEnd},
      {"07 FF FF FF FF 00", kEnd}, {"08 FF FF FF FF", kEnd}, {"05 00 00 00 00 FF FF FF FF 00 00 00 00 00", kEnd},
      {"08 01 00 00 00 09 00 00 00 61", kEnd}, {"08 01 00 00 00 01 00 00 00 61", kEnd},
      // Text, map keys, link paths and link-local keys must be UTF-8.
      {"04 02 00 00 00 C3 28", kUtf8}, {"04 03 00 00 00 ED A0 80", kUtf8}, {"04 02 00 00 00 C0 80", kUtf8},
      {"08 01 00 00 00 02 00 00 00 C3 28 00", kUtf8}, {"05 02 00 00 00 C3 28 00 00 00 00", kUtf8},
      {"05 01 00 00 00 61 01 00 00 00 02 00 00 00 C3 28 00", kUtf8},
      // Failures deep inside containers.
      {"08 01 00 00 00 01 00 00 00 61 0D", "unknown type byte: 0x0D"},
      {"08 01 00 00 00 01 00 00 00 61 07 02 00 00 00 00 02 01 00", kEnd},
      {"07 01 00 00 00 07 01 00 00 00 FF", "unknown type byte: 0xFF"}};
  for (const auto& [bytes, error] : cases) EXPECT_EQ(decode_text(hex(bytes)), error) << bytes;

  std::size_t pos = 0;
  const std::string unknown = hex("80");
  auto value = decode(unknown, pos);
  ASSERT_FALSE(value.has_value());
  EXPECT_EQ(value.error().kind(), CodecError::Kind::UnknownType);
  EXPECT_EQ(value.error().type_byte(), 0x80);
  EXPECT_EQ(value.error().to_string(), "unknown type byte: 0x80");
}

// A decode of hostile input, with what it allocated.
struct ProbedDecode {
  std::expected<Value, CodecError> value = std::unexpected(CodecError::unexpected_end());
  std::size_t largest = 0;
  std::size_t total = 0;
};

ProbedDecode decode_probed(std::string_view input) {
  ProbedDecode probed;
  std::size_t pos = 0;
  testing::AllocationProbe probe;
  probed.value = decode(input, pos);
  probed.largest = probe.largest();
  probed.total = probe.total();
  return probed;
}

TEST(CodecTest, HugeCountsWithTinyBuffersFailWithoutSizingAllocations) {
  for (const char* bytes : {"07 FF FF FF FF 00 00 00", "08 FF FF FF FF 00 00 00 00 00",
                            "05 00 00 00 00 FF FF FF FF 00 00", "07 00 00 00 10 07 FF FF FF 7F"}) {
    const ProbedDecode probed = decode_probed(hex(bytes));
    ASSERT_FALSE(probed.value.has_value()) << bytes;
    EXPECT_EQ(probed.value.error().to_string(), kEnd) << bytes;
    EXPECT_LT(probed.largest, 4096u) << bytes;
  }
}

// Each container may claim every remaining byte as its own elements; the
// ones it encloses must not claim the same bytes again, or a value nested
// deep reserves its size once per level.
TEST(CodecTest, NestedHugeCountsReserveTheRemainingBytesOnceNotOncePerLevel) {
  constexpr std::size_t kFill = 16 * 1024;
  for (const char* level : {"07 FF FF FF FF", "08 FF FF FF FF 01 00 00 00 61"}) {
    std::string input;
    for (std::size_t i = 0; i < kMaxNesting - 1; ++i) input += hex(level);
    input.append(kFill, '\0');
    const ProbedDecode probed = decode_probed(input);
    ASSERT_FALSE(probed.value.has_value()) << level;
    EXPECT_EQ(probed.value.error().to_string(), kEnd) << level;
    EXPECT_LT(probed.total, 4 * input.size() * std::max(sizeof(Value), sizeof(MapEntry))) << level;
  }
}

TEST(CodecTest, BoolReadsAnyNonZeroByteAsTrueAndWritesOne) {
  std::size_t pos = 0;
  auto value = decode(hex("01 02"), pos);
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(debug_string(*value), "Bool(true)");
  EXPECT_EQ(encoded(*value), hex("01 01"));
}

TEST(CodecTest, DuplicateMapKeysKeepFirstPositionAndLastValue) {
  // Count 3 on the wire, keys a, b, a.
  const std::string bytes = hex(
      "08 03 00 00 00 01 00 00 00 61 02 01 00 00 00 00 00 00 00 01 00 00 00 62 02 02 00 00 00 00 00 00 00"
      " 01 00 00 00 61 02 03 00 00 00 00 00 00 00");
  EXPECT_EQ(decode_text(bytes), R"(Map({"a": Int(3), "b": Int(2)}))");
  std::size_t pos = 1;
  auto body = decode_map(bytes, pos);
  ASSERT_TRUE(body.has_value());
  EXPECT_EQ(body->size(), 2u);
  EXPECT_EQ(pos, bytes.size());
}

// `depth` containers of the given type byte, each holding the next.
std::string nested(char type, std::size_t depth) {
  std::string out;
  for (std::size_t i = 0; i < depth; ++i) {
    out.push_back(type);
    if (type == 0x05) out += hex("00 00 00 00");                   // link with an empty path
    out += hex(type == 0x07 ? "01 00 00 00" : "01 00 00 00 01 00 00 00 6B");  // one element / entry "k"
  }
  return out + hex("00");
}

TEST(CodecTest, DecodesNestingUpToTheLimitAndRefusesOneMore) {
  for (char type : {'\x05', '\x07', '\x08'}) {
    const std::string deepest = nested(type, kMaxNesting);
    std::size_t pos = 0;
    auto value = decode(deepest, pos);
    ASSERT_TRUE(value.has_value()) << value.error().to_string();
    EXPECT_EQ(pos, deepest.size());
    EXPECT_EQ(encoded(*value), deepest);
    EXPECT_EQ(decode_text(nested(type, kMaxNesting + 1)), kTooDeep);
    // Far deeper input must not exhaust the stack either.
    EXPECT_EQ(decode_text(nested(type, 200000)), kTooDeep);
  }
  // A map body counts as one level: 255 arrays inside it reach the limit.
  const std::string entry = hex("01 00 00 00 01 00 00 00 6B");
  std::size_t pos = 0;
  EXPECT_TRUE(decode_map(entry + nested(0x07, kMaxNesting - 1), pos).has_value());
  pos = 0;
  auto refused = decode_map(entry + nested(0x07, kMaxNesting), pos);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().to_string(), kTooDeep);
}

// The field of the whole decode, shown as decode_map_entry would give it:
// the entry (Null when absent), "not a map", or the decode error.
std::string field_of_whole_decode(const std::string& bytes, std::string_view name) {
  std::size_t pos = 0;
  auto whole = decode(bytes, pos);
  if (!whole) return whole.error().to_string();
  const TextMap* fields = whole->get_if<TextMap>();
  if (fields == nullptr) return "not a map";
  const Value* field = fields->find(name);
  return field ? debug_string(*field) : debug_string(Value());
}

// The same through decode_map_entry, falling back to the whole decode when
// it finds no map, as its callers do.
std::string field_of_entry_decode(const std::string& bytes, std::string_view name) {
  auto entry = decode_map_entry(bytes, name);
  if (!entry) return entry.error().to_string();
  return *entry ? debug_string(**entry) : field_of_whole_decode(bytes, name);
}

// Decoding one entry must check the whole value exactly as decoding it all
// does: on every cut and on damage to every byte, the same error or the same
// field. The duplicate key "a" must give its last value.
TEST(CodecTest, OneEntryDecodesAsTheWholeMapWouldOnAnyDamage) {
  const std::string duplicate_a = hex(
      "08 03 00 00 00 01 00 00 00 61 02 01 00 00 00 00 00 00 00 01 00 00 00 62 02 02 00 00 00 00 00 00 00"
      " 01 00 00 00 61 02 03 00 00 00 00 00 00 00");
  const std::string samples[] = {
      duplicate_a,
      encoded(map({{"title", Value("t\xC3\xA9")},
                   {"author", Value(Link{"people/p1", TextMap{}})},
                   {"editor", testing::link("people/p2", testing::Fields{{"role", Value("copy")}})},
                   {"tags", Value(Array{Value(1.5), map({{"k", Value(Blob{"\x01"})}})})},
                   {"when", Value(Date{3})}})),
      encoded(Value(Array{Value(1)})),
  };
  for (const std::string& sample : samples) {
    std::vector<std::string> damaged;
    for (std::size_t cut = 0; cut <= sample.size(); ++cut) damaged.push_back(sample.substr(0, cut));
    for (std::size_t at = 0; at < sample.size(); ++at) {
      for (char with : {'\x00', '\x0D', '\x80', '\xFF'}) {
        std::string bytes = sample;
        bytes[at] = with;
        damaged.push_back(bytes);
      }
    }
    for (const std::string& bytes : damaged) {
      for (std::string_view name : {"a", "title", "author", "editor", "tags", "missing"}) {
        ASSERT_EQ(field_of_entry_decode(bytes, name), field_of_whole_decode(bytes, name))
            << "damaged variant " << (&bytes - damaged.data()) << " field " << name;
      }
    }
  }
  EXPECT_EQ(field_of_entry_decode(duplicate_a, "a"), "Int(3)");
  // The nesting bound counts from the map itself.
  for (std::size_t depth : {kMaxNesting, kMaxNesting + 1}) {
    const std::string deep = nested('\x08', depth);
    EXPECT_EQ(field_of_entry_decode(deep, "k"), field_of_whole_decode(deep, "k")) << depth;
  }
}

// Values built in C++ can nest more deeply than any reader accepts; the
// encoder refuses them so that nothing unreadable is ever stored.
TEST(CodecTest, EncoderRefusesWhatTheDecoderWouldRefuse) {
  Value at_limit;
  for (std::size_t i = 0; i < kMaxNesting; ++i) at_limit = Value(Array{std::move(at_limit)});
  std::string out;
  ASSERT_EQ(encode(at_limit, out), EncodeStatus::Ok);
  Link deeper{"a/b", {}};
  deeper.local.insert_or_assign("x", std::move(at_limit));
  out.clear();
  EXPECT_EQ(encode(Value(std::move(deeper)), out), EncodeStatus::TooDeep);
}

}  // namespace
}  // namespace brindle
