// Replay of a backlink index file made of arbitrary bytes. A file that opens
// must take an add and a remove, and replaying it again must rebuild exactly
// the entries the index held in memory, for every key the file names and the
// keys changed here.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "backlinks/backlink_index.h"
#include "fuzz/support.h"

namespace {

using brindle::BacklinkEntry;
using brindle::BacklinkIndex;
using brindle::fuzz::check;

// The target keys of the records at the front of the file, as far as they
// frame (op byte, then four u32-length-prefixed strings).
std::vector<std::string> keys_named(std::string_view file) {
  std::vector<std::string> keys;
  std::size_t pos = 0;
  auto next_string = [&]() -> std::optional<std::string_view> {
    if (file.size() - pos < 4) return std::nullopt;
    std::uint32_t n;
    std::memcpy(&n, file.data() + pos, 4);
    if (file.size() - pos - 4 < n) return std::nullopt;
    std::string_view s = file.substr(pos + 4, n);
    pos += 4 + std::size_t{n};
    return s;
  };
  while (pos < file.size()) {
    ++pos;  // op
    auto key = next_string();
    if (!key) break;
    keys.emplace_back(*key);
    for (int i = 0; i < 3; ++i) {
      if (!next_string()) return keys;
    }
  }
  return keys;
}

std::vector<BacklinkEntry> entries_of(const BacklinkIndex& index, std::string_view key) {
  return index.find(key).value_or(std::vector<BacklinkEntry>{});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::string path = brindle::fuzz::fresh_dir() + "/t.brl";
  brindle::testing::write_file(path, std::string(input));

  std::vector<std::string> keys = keys_named(input);
  keys.emplace_back("added by the fuzzer");
  std::vector<std::vector<BacklinkEntry>> before;
  {
    auto index = BacklinkIndex::open(path);
    if (!index) return 0;
    const BacklinkEntry entry{"src", "k", "field/0"};
    check(index->add(keys.back(), entry).has_value(), "add after a good replay failed");
    // Remove an entry the file itself added, when it named one.
    const std::vector<BacklinkEntry> first = entries_of(*index, keys.front());
    if (!first.empty()) {
      check(index->remove(keys.front(), first.front()).has_value(), "remove after a good replay failed");
    }
    for (const std::string& key : keys) before.push_back(entries_of(*index, key));
  }
  auto reopened = BacklinkIndex::open(path);
  check(reopened.has_value(), "an index that opened, plus an add and a remove, no longer opens");
  for (std::size_t i = 0; i < keys.size(); ++i) {
    check(entries_of(*reopened, keys[i]) == before[i], "replay disagrees with the index it wrote");
  }
  return 0;
}
