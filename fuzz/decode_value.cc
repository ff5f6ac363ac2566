// Value decoding from arbitrary bytes. Whatever decodes must encode, and the
// encoding must decode to a value that encodes to the same bytes: the
// decoder accepts every encoding the encoder makes and nothing drifts on a
// second trip (the first may normalise, e.g. any non-zero bool byte or a
// repeated map key).
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz/support.h"

namespace {

void round_trip(const brindle::Value& value) {
  using brindle::fuzz::check;
  const std::string first = brindle::fuzz::encoded(value);
  std::size_t pos = 0;
  auto again = brindle::decode(first, pos);
  check(again.has_value(), "an encoding made by encode() does not decode");
  check(pos == first.size(), "decoding an encoding stops before its end");
  check(brindle::fuzz::encoded(*again) == first, "decode -> encode -> decode changed the value");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  std::size_t pos = 0;
  if (auto value = brindle::decode(input, pos)) {
    brindle::fuzz::check(pos <= input.size(), "decode moved past the end of its input");
    round_trip(*value);
  }
  pos = 0;
  if (auto map = brindle::decode_map(input, pos)) {
    brindle::fuzz::check(pos <= input.size(), "decode_map moved past the end of its input");
    round_trip(brindle::Value(std::move(*map)));
  }
  return 0;
}
