// Replay of a collection data file made of arbitrary bytes. A file that
// opens must then serve a get() of every key it names without crashing, take
// an appended record, and open again with that record readable: whatever the
// replay accepted, the store keeps framing correctly after it.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/support.h"
#include "storage/collection.h"

namespace {

using brindle::fuzz::check;

// The keys of the records at the front of the file, as far as they frame
// (u32 key length, key, u32 value length, value).
std::vector<std::string> keys_named(std::string_view file) {
  std::vector<std::string> keys;
  auto u32_at = [&](std::size_t pos) {
    std::uint32_t n;
    std::memcpy(&n, file.data() + pos, 4);
    return n;
  };
  std::size_t pos = 0;
  while (file.size() - pos >= 4) {
    std::size_t key_length = u32_at(pos);
    if (file.size() - pos - 4 < key_length) break;
    keys.emplace_back(file.substr(pos + 4, key_length));
    pos += 4 + key_length;
    if (file.size() - pos < 4) break;
    std::size_t value_length = u32_at(pos);
    if (file.size() - pos - 4 < value_length) break;
    pos += 4 + value_length;
  }
  return keys;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::string path = brindle::fuzz::fresh_dir() + "/c.brd";
  brindle::testing::write_file(path, std::string(input));

  const std::string appended_key = "appended by the fuzzer";
  brindle::TextMap fields;
  fields.insert_or_assign("n", brindle::Value(42));
  const brindle::Value appended(std::move(fields));
  {
    auto collection = brindle::Collection::open(path);
    if (!collection) return 0;
    for (const std::string& key : keys_named(input)) (void)collection->get(key);
    auto written = collection->set(appended_key, appended);
    check(written.has_value(), "append after a good replay failed: " +
                                   (written ? std::string() : written.error().to_string()));
    auto read = collection->get(appended_key);
    check(read && brindle::fuzz::encoded(*read) == brindle::fuzz::encoded(appended),
          "the appended record does not read back");
  }
  auto reopened = brindle::Collection::open(path);
  check(reopened.has_value(), "a file that opened, plus one appended record, no longer opens: " +
                                  (reopened ? std::string() : reopened.error().to_string()));
  auto read = reopened->get(appended_key);
  check(read && brindle::fuzz::encoded(*read) == brindle::fuzz::encoded(appended),
        "the appended record does not read back after a reopen");
  return 0;
}
