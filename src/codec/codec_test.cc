#include "codec/codec.h"

#include <gtest/gtest.h>

#include "testing/allocation_probe.h"

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
#include <random>
#include <string>

#include "types/debug_string.h"

namespace brindle {
namespace {

std::string hex(const char* text) {
  std::string out;
  std::string digits;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c != ' ') digits.push_back(*c);
  }
  for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
    out.push_back(static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  }
  return out;
}

std::string encoded(const Value& value) {
  std::string out;
  EXPECT_EQ(encode(value, out), EncodeStatus::Ok);
  return out;
}

// The error text of decoding bytes, or the debug form of the value.
std::string decode_text(const std::string& bytes) {
  std::size_t pos = 0;
  auto value = decode(bytes, pos);
  return value ? debug_string(*value) : value.error().to_string();
}

struct Example {
  const char* name;
  Value value;
  const char* bytes;
  const char* debug;
};

class CodecExampleTest : public ::testing::TestWithParam<Example> {};

TEST_P(CodecExampleTest, EncodesToExactBytesAndDecodesBack) {
  const Example& ex = GetParam();
  const std::string bytes = hex(ex.bytes);
  EXPECT_EQ(encoded(ex.value), bytes);
  std::size_t pos = 0;
  auto value = decode(bytes, pos);
  ASSERT_TRUE(value.has_value()) << value.error().to_string();
  EXPECT_EQ(debug_string(*value), ex.debug);
  EXPECT_EQ(pos, bytes.size());
}

TextMap one_entry(const char* key, Value value) {
  TextMap map;
  map.insert_or_assign(key, std::move(value));
  return map;
}

INSTANTIATE_TEST_SUITE_P(
    Values, CodecExampleTest,
    ::testing::Values(
        Example{"IntMinusOne", Value(-1), "02 FF FF FF FF FF FF FF FF", "Int(-1)"},
        Example{"FloatOneAndHalf", Value(1.5), "03 00 00 00 00 00 00 F8 3F", "Float(1.5)"},
        Example{"MapOneEntry", Value(one_entry("a", Value(1))),
                "08 01 00 00 00 01 00 00 00 61 02 01 00 00 00 00 00 00 00", R"(Map({"a": Int(1)}))"},
        Example{"LinkEmptyLocal", Value(Link{"u/1", {}}), "05 03 00 00 00 75 2F 31 00 00 00 00",
                R"(Link(Link { path: "u/1", local: {} }))"},
        Example{"ArrayNullTrue", Value(Array{Value(), Value(true)}), "07 02 00 00 00 00 01 01",
                "Array([Null, Bool(true)])"},
        Example{"Null", Value(), "00", "Null"},
        Example{"Tombstone", Value(Tombstone{}), "0C", "Tombstone"},
        Example{"False", Value(false), "01 00", "Bool(false)"},
        Example{"IntMin", Value(std::numeric_limits<std::int64_t>::min()), "02 00 00 00 00 00 00 00 80",
                "Int(-9223372036854775808)"},
        Example{"Text", Value("h\xC3\xA9"), "04 03 00 00 00 68 C3 A9", "Text(\"h\xC3\xA9\")"},
        Example{"TextEmpty", Value(""), "04 00 00 00 00", R"(Text(""))"},
        Example{"Blob", Value(Blob{hex("C3 28 00")}), "06 03 00 00 00 C3 28 00", "Blob([195, 40, 0])"},
        Example{"Date", Value(Date{0x01020304}), "09 04 03 02 01", "Date(16909060)"},
        Example{"Time", Value(Time{0xFFFFFFFF}), "0A FF FF FF FF", "Time(4294967295)"},
        Example{"DateTime", Value(DateTime{0x0102030405060708}), "0B 08 07 06 05 04 03 02 01",
                "DateTime(72623859790382856)"},
        Example{"LinkWithLocal", Value(Link{"p/k", one_entry("x", Value())}),
                "05 03 00 00 00 70 2F 6B 01 00 00 00 01 00 00 00 78 00",
                R"(Link(Link { path: "p/k", local: {"x": Null} }))"},
        Example{"ArrayOfEmptyContainers", Value(Array{Value(Array{}), Value(TextMap{})}),
                "07 02 00 00 00 07 00 00 00 00 08 00 00 00 00", "Array([Array([]), Map({})])"}),
    [](const ::testing::TestParamInfo<Example>& info) { return std::string(info.param.name); });

struct Failure {
  const char* name;
  const char* bytes;
  const char* error;
};

class CodecErrorTest : public ::testing::TestWithParam<Failure> {};

TEST_P(CodecErrorTest, FailsWithExactMessage) {
  EXPECT_EQ(decode_text(hex(GetParam().bytes)), GetParam().error);
}

constexpr const char* kEnd = "unexpected end of buffer";
constexpr const char* kUtf8 = "invalid UTF-8 in text field";

INSTANTIATE_TEST_SUITE_P(
    Bytes, CodecErrorTest,
    ::testing::Values(
        Failure{"Empty", "", kEnd},
        // The type byte is checked before any body byte is wanted.
        Failure{"TypeByte0D", "0D", "unknown type byte: 0x0D"},
        Failure{"TypeByteFF", "FF 00 00 00 00", "unknown type byte: 0xFF"},
        Failure{"TypeByte80", "80", "unknown type byte: 0x80"},
        Failure{"BoolWithoutBody", "01", kEnd},
        Failure{"IntSevenBodyBytes", "02 01 00 00 00 00 00 00", kEnd},
        Failure{"FloatShort", "03 00 00", kEnd}, Failure{"DateShort", "09 00 00 00", kEnd},
        Failure{"TimeShort", "0A", kEnd}, Failure{"DateTimeShort", "0B 00 00 00 00 00 00 00", kEnd},
        Failure{"TextLengthCut", "04 01 00 00", kEnd},
        Failure{"TextLengthPromisesMore", "04 05 00 00 00 61 62 63", kEnd},
        Failure{"TextHugeLength", "04 FF FF FF FF 61", kEnd},
        Failure{"BlobLengthPromisesMore", "06 02 00 00 00 00", kEnd},
        Failure{"TextInvalidUtf8", "04 02 00 00 00 C3 28", kUtf8},
        Failure{"TextSurrogate", "04 03 00 00 00 ED A0 80", kUtf8},
        Failure{"TextOverlong", "04 02 00 00 00 C0 80", kUtf8},
        Failure{"MapKeyInvalidUtf8", "08 01 00 00 00 02 00 00 00 C3 28 00", kUtf8},
        Failure{"LinkPathInvalidUtf8", "05 02 00 00 00 C3 28 00 00 00 00", kUtf8},
        Failure{"LinkLocalKeyInvalidUtf8", "05 01 00 00 00 61 01 00 00 00 02 00 00 00 C3 28 00", kUtf8},
        Failure{"LinkWithoutLocalCount", "05 03 00 00 00 75 2F 31", kEnd},
        Failure{"ArrayCountExceedsElements", "07 03 00 00 00 00 00", kEnd},
        Failure{"ArrayHugeCount", "07 FF FF FF FF 00", kEnd},
        Failure{"MapHugeCount", "08 FF FF FF FF", kEnd},
        Failure{"LinkLocalHugeCount", "05 00 00 00 00 FF FF FF FF 00 00 00 00 00", kEnd},
        Failure{"MapKeyLengthPromisesMore", "08 01 00 00 00 09 00 00 00 61", kEnd},
        Failure{"MapEntryWithoutValue", "08 01 00 00 00 01 00 00 00 61", kEnd},
        Failure{"MapValueUnknownType", "08 01 00 00 00 01 00 00 00 61 0D", "unknown type byte: 0x0D"},
        Failure{"DeepTruncatedElement", "08 01 00 00 00 01 00 00 00 61 07 02 00 00 00 00 02 01 00", kEnd},
        Failure{"DeepUnknownType", "07 01 00 00 00 07 01 00 00 00 FF", "unknown type byte: 0xFF"}),
    [](const ::testing::TestParamInfo<Failure>& info) { return std::string(info.param.name); });

TEST(CodecTest, UnknownTypeErrorCarriesTheByte) {
  std::string bytes = hex("0D");
  std::size_t pos = 0;
  auto value = decode(bytes, pos);
  ASSERT_FALSE(value.has_value());
  EXPECT_EQ(value.error().kind(), CodecError::Kind::UnknownType);
  EXPECT_EQ(value.error().type_byte(), 0x0D);
}

TEST(CodecTest, InvalidUtf8IsOnlyAnErrorForText) {
  EXPECT_EQ(decode_text(hex("06 02 00 00 00 C3 28")), "Blob([195, 40])");
}

TEST(CodecTest, HugeCountsWithTinyBuffersFailWithoutSizingAllocations) {
  for (const char* bytes : {"07 FF FF FF FF 00 00 00", "08 FF FF FF FF 00 00 00 00 00",
                            "05 00 00 00 00 FF FF FF FF 00 00", "07 00 00 00 10 07 FF FF FF 7F"}) {
    const std::string input = hex(bytes);
    std::size_t pos = 0;
    std::size_t largest;
    std::expected<Value, CodecError> value = std::unexpected(CodecError::unexpected_end());
    {
      testing::AllocationProbe probe;
      value = decode(input, pos);
      largest = probe.largest();
    }
    ASSERT_FALSE(value.has_value()) << bytes;
    EXPECT_EQ(value.error().to_string(), kEnd) << bytes;
    EXPECT_LT(largest, 4096u) << bytes;
  }
}

TEST(CodecTest, BoolReadsAnyNonZeroByteAsTrueAndWritesOne) {
  std::string bytes = hex("01 02");
  std::size_t pos = 0;
  auto value = decode(bytes, pos);
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(debug_string(*value), "Bool(true)");
  EXPECT_EQ(encoded(*value), hex("01 01"));
}

TEST(CodecTest, DuplicateMapKeysKeepFirstPositionAndLastValue) {
  // Count 3 on the wire, keys a, b, a.
  const std::string bytes = hex(
      "08 03 00 00 00"
      " 01 00 00 00 61 02 01 00 00 00 00 00 00 00"
      " 01 00 00 00 62 02 02 00 00 00 00 00 00 00"
      " 01 00 00 00 61 02 03 00 00 00 00 00 00 00");
  EXPECT_EQ(decode_text(bytes), R"(Map({"a": Int(3), "b": Int(2)}))");
  std::size_t pos = 1;
  auto map = decode_map(bytes, pos);
  ASSERT_TRUE(map.has_value());
  EXPECT_EQ(map->size(), 2u);
  EXPECT_EQ(pos, bytes.size());
}

TEST(CodecTest, DecodeStopsAfterOneValue) {
  const std::string bytes = hex("00 DE AD BE EF");
  std::size_t pos = 0;
  auto value = decode(bytes, pos);
  ASSERT_TRUE(value.has_value());
  EXPECT_TRUE(value->is<Null>());
  EXPECT_EQ(pos, 1u);

  // Consecutive values decode one after another from the cursor.
  std::string two = encoded(Value("first"));
  const std::size_t first_end = two.size();
  ASSERT_EQ(encode(Value(Array{Value(7)}), two), EncodeStatus::Ok);
  pos = 0;
  EXPECT_EQ(debug_string(*decode(two, pos)), R"(Text("first"))");
  EXPECT_EQ(pos, first_end);
  EXPECT_EQ(debug_string(*decode(two, pos)), "Array([Int(7)])");
  EXPECT_EQ(pos, two.size());

  // A cursor at or past the end has nothing to read.
  for (std::size_t start : {two.size(), two.size() + 5}) {
    pos = start;
    auto none = decode(two, pos);
    ASSERT_FALSE(none.has_value());
    EXPECT_EQ(none.error().to_string(), kEnd);
  }
}

TEST(CodecTest, EncodeAppendsToExistingBytes) {
  std::string out = "xy";
  ASSERT_EQ(encode(Value(true), out), EncodeStatus::Ok);
  EXPECT_EQ(out, "xy" + hex("01 01"));
}

TEST(CodecTest, FloatBitPatternsSurviveExactly) {
  for (std::uint64_t bits : {std::uint64_t{0x8000000000000000}, std::uint64_t{0x7FF0000000000001},
                             std::uint64_t{0x7FF8000000000123}, std::uint64_t{0xFFFFFFFFFFFFFFFF},
                             std::uint64_t{0x0000000000000001}, std::uint64_t{0xFFF0000000000000}}) {
    const std::string bytes = encoded(Value(std::bit_cast<double>(bits)));
    ASSERT_EQ(bytes.size(), 9u);
    std::size_t pos = 0;
    auto value = decode(bytes, pos);
    ASSERT_TRUE(value.has_value());
    ASSERT_TRUE(value->is<double>());
    EXPECT_EQ(std::bit_cast<std::uint64_t>(*value->get_if<double>()), bits) << std::hex << bits;
    EXPECT_EQ(encoded(*value), bytes);
  }
}

// Builds `depth` containers of the given type byte, each holding the next.
std::string nested(char type, std::size_t depth) {
  std::string out;
  for (std::size_t i = 0; i < depth; ++i) {
    out.push_back(type);
    if (type == 0x05) out += hex("00 00 00 00");          // link with an empty path
    if (type == 0x07) out += hex("01 00 00 00");          // one element
    if (type != 0x07) out += hex("01 00 00 00 01 00 00 00 6B");  // one entry, key "k"
  }
  return out + hex("00");
}

class NestingTest : public ::testing::TestWithParam<char> {};

TEST_P(NestingTest, DecodesUpToTheLimitAndRefusesOneMore) {
  const char type = GetParam();
  const std::string deepest = nested(type, kMaxNesting);
  std::size_t pos = 0;
  auto value = decode(deepest, pos);
  ASSERT_TRUE(value.has_value()) << value.error().to_string();
  EXPECT_EQ(pos, deepest.size());
  EXPECT_EQ(encoded(*value), deepest);

  EXPECT_EQ(decode_text(nested(type, kMaxNesting + 1)), "value is nested too deeply");
  // Far deeper input must not exhaust the stack either.
  EXPECT_EQ(decode_text(nested(type, 200000)), "value is nested too deeply");
}

INSTANTIATE_TEST_SUITE_P(Containers, NestingTest, ::testing::Values('\x05', '\x07', '\x08'));

TEST(CodecTest, DecodeMapBodyCountsAsOneLevel) {
  // A map body holding 255 nested arrays reaches the limit exactly.
  const std::string entry = hex("01 00 00 00 01 00 00 00 6B");
  std::size_t pos = 0;
  std::string body = entry + nested(0x07, kMaxNesting - 1);
  EXPECT_TRUE(decode_map(body, pos).has_value());
  pos = 0;
  body = entry + nested(0x07, kMaxNesting);
  auto refused = decode_map(body, pos);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().to_string(), "value is nested too deeply");
}

Value random_value(std::mt19937_64& rng, int depth) {
  auto pick = [&](std::uint64_t n) { return rng() % n; };
  auto random_text = [&] {
    static const char* kPieces[] = {"a", "Z", "\xC3\xA9", "\xE6\x97\xA5", "\xF0\x9F\x98\x80", "\"", "\n", ""};
    std::string text;
    for (std::uint64_t i = pick(6); i > 0; --i) text += kPieces[pick(8)];
    return text;
  };
  switch (pick(depth > 0 ? 13 : 10)) {
    case 0: return Value();
    case 1: return Value(pick(2) == 0);
    case 2: return Value(static_cast<std::int64_t>(rng()));
    case 3: return Value(std::bit_cast<double>(rng()));
    case 4: return Value(random_text());
    case 5: {
      Blob blob;
      for (std::uint64_t i = pick(40); i > 0; --i) blob.bytes.push_back(static_cast<char>(rng()));
      return Value(std::move(blob));
    }
    case 6: return Value(Date{static_cast<std::uint32_t>(rng())});
    case 7: return Value(Time{static_cast<std::uint32_t>(rng())});
    case 8: return Value(DateTime{rng()});
    case 9: return Value(Tombstone{});
    case 10: {
      Array array;
      for (std::uint64_t i = pick(6); i > 0; --i) array.push_back(random_value(rng, depth - 1));
      return Value(std::move(array));
    }
    case 11: {
      TextMap map;
      for (std::uint64_t i = pick(14); i > 0; --i) map.insert_or_assign(random_text(), random_value(rng, depth - 1));
      return Value(std::move(map));
    }
    default: {
      Link link{random_text(), {}};
      for (std::uint64_t i = pick(3); i > 0; --i) link.local.insert_or_assign(random_text(), random_value(rng, depth - 1));
      return Value(std::move(link));
    }
  }
}

TEST(CodecTest, RandomValuesRoundTripToIdenticalBytes) {
  std::mt19937_64 rng(20240611);
  for (int round = 0; round < 400; ++round) {
    Value value = random_value(rng, round % 50 == 0 ? 1 : 1 + round % 6);
    if (round % 50 == 0) {
      // A spine of arrays down to the nesting limit, with neighbours at
      // every level.
      for (std::size_t level = 1; level < kMaxNesting; ++level) {
        value = Value(Array{random_value(rng, 1), std::move(value), random_value(rng, 0)});
      }
    }
    const std::string first = encoded(value);
    std::size_t pos = 0;
    auto decoded = decode(first, pos);
    ASSERT_TRUE(decoded.has_value()) << "round " << round << ": " << decoded.error().to_string();
    ASSERT_EQ(pos, first.size()) << "round " << round;
    ASSERT_EQ(encoded(*decoded), first) << "round " << round;
  }
}

}  // namespace
}  // namespace brindle

namespace brindle {
namespace {

// Values built in C++ can nest more deeply than any reader accepts; the
// encoder refuses them so that nothing unreadable is ever stored.
TEST(EncodeNesting, RefusesWhatTheDecoderWouldRefuse) {
  Value at_limit;
  for (std::size_t i = 0; i < kMaxNesting; ++i) at_limit = Value(Array{std::move(at_limit)});
  std::string out;
  ASSERT_EQ(encode(at_limit, out), EncodeStatus::Ok);
  std::size_t pos = 0;
  ASSERT_TRUE(decode(out, pos).has_value());

  Link deeper{"a/b", {}};
  deeper.local.insert_or_assign("x", std::move(at_limit));
  out.clear();
  EXPECT_EQ(encode(Value(std::move(deeper)), out), EncodeStatus::TooDeep);
}

}  // namespace
}  // namespace brindle
