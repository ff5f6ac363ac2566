// The JSON form of values from arbitrary text, and from arbitrary bytes read
// as a value encoding. Text that parses must write back as text that parses
// to the same value and writes the same text again (dumps are stable); every
// value the store can hold must write as text that parses back to it (a dump
// always loads); text that is refused is refused with a message.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/support.h"
#include "tools/json_value.h"

namespace {

using brindle::fuzz::check;

std::string json_of(const brindle::Value& value) {
  std::string out;
  brindle::tools::write_json(value, out);
  return out;
}

// The text written for value must read back, whole, as the same value.
void reads_back(const brindle::Value& value, const std::string& text) {
  brindle::tools::JsonReader reader(text);
  auto again = reader.read_value();
  check(again.has_value(), "written JSON does not parse: " + (again ? std::string() : again.error()));
  check(reader.at_end(), "written JSON has text after its value");
  check(brindle::fuzz::encoded(*again) == brindle::fuzz::encoded(value), "JSON -> value changed the value");
  check(json_of(*again) == text, "a value read from written JSON writes different text");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  brindle::tools::JsonReader reader(input);
  if (auto value = reader.read_value()) {
    // The value stands whether or not text follows it (load reads one
    // record's members one at a time).
    reads_back(*value, json_of(*value));
  } else {
    check(value.error().starts_with("invalid JSON at character "), "a refusal without its message: " + value.error());
  }

  std::size_t pos = 0;
  if (auto value = brindle::decode(input, pos)) reads_back(*value, json_of(*value));
  return 0;
}
