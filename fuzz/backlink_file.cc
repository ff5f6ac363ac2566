// Replay of a backlink index file made of arbitrary bytes. A file that opens
// must hold what its records give when applied one at a time, must take an
// add and a remove, and replaying it again must rebuild exactly
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

struct FramedRecord {
  std::uint8_t op;
  std::string target;
  BacklinkEntry entry;
};

// The records at the front of the file, as far as they frame (op byte, then
// four u32-length-prefixed strings).
std::vector<FramedRecord> records_framed(std::string_view file) {
  std::vector<FramedRecord> records;
  std::size_t pos = 0;
  auto next_string = [&]() -> std::optional<std::string> {
    if (file.size() - pos < 4) return std::nullopt;
    std::uint32_t n;
    std::memcpy(&n, file.data() + pos, 4);
    if (file.size() - pos - 4 < n) return std::nullopt;
    std::string s(file.substr(pos + 4, n));
    pos += 4 + std::size_t{n};
    return s;
  };
  while (pos < file.size()) {
    FramedRecord record{static_cast<std::uint8_t>(file[pos++]), {}, {}};
    std::optional<std::string> strings[4];
    for (auto& string : strings) {
      string = next_string();
      if (!string) return records;
    }
    record.target = *strings[0];
    record.entry = BacklinkEntry{*strings[1], *strings[2], *strings[3]};
    records.push_back(std::move(record));
  }
  return records;
}

std::vector<BacklinkEntry> entries_of(const BacklinkIndex& index, std::string_view key) {
  return index.find(key).value_or(std::vector<BacklinkEntry>{});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::string& dir = brindle::fuzz::fresh_dir();
  const std::string path = dir + "/t.brl";
  brindle::testing::write_file(path, std::string(input));

  const std::vector<FramedRecord> records = records_framed(input);
  std::vector<std::string> keys;
  for (const FramedRecord& record : records) keys.push_back(record.target);
  keys.emplace_back("added by the fuzzer");
  std::vector<std::vector<BacklinkEntry>> before;
  {
    auto index = BacklinkIndex::open(path);
    if (!index) return 0;
    // Replay builds lists in bulk; the same records applied one at a time
    // through the index's own writes must give the same map, key by key.
    auto one_by_one = BacklinkIndex::open(dir + "/ref.brl");
    check(one_by_one.has_value(), "an empty index did not open");
    for (const FramedRecord& record : records) {
      if (record.op == 1) check(one_by_one->add(record.target, record.entry).has_value(), "reference add failed");
      if (record.op == 2) check(one_by_one->remove(record.target, record.entry).has_value(), "reference remove failed");
    }
    for (const std::string& key : keys) {
      check(index->find(key) == one_by_one->find(key), "replay disagrees with the records applied one by one");
    }
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
