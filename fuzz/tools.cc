// The operating tools on a damaged database directory. The input first
// drives a few writes through the store (records in three collections, with
// links between them, so both kinds of file exist), then damages the files:
// bytes appended, cut, overwritten or laid down whole, framed records with
// arbitrary bytes, a stray replacement file.
//
// What the files hold is worked out here by framing them independently of
// the tools, and then:
//  - check reports exactly the framing damage of each file and counts every
//    undecodable record; stats and dump fail only on what they refuse;
//  - a dump, loaded into an empty directory (once or twice), dumps as the
//    same text, unless a record links into a name that load refuses;
//  - compact refuses a damaged database, and load one with a damaged data
//    file, and neither changes or adds a file (a stray replacement file may
//    go);
//  - repair (leftovers removed, torn tails moved aside, backlinks rebuilt)
//    cuts exactly the torn tails, refuses only a data file whose key is not
//    UTF-8, and then leaves a database that check finds clean but for the
//    undecodable records it cannot mend, and that the store opens with every
//    live record as before and every link in its index;
//  - compact then keeps every live record byte for byte and every backlink
//    entry in order, and the store reads the same.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "backlinks/collect_links.h"
#include "db/database.h"
#include "db/directory.h"
#include "fuzz/support.h"
#include "tools/database_files.h"
#include "tools/examine.h"
#include "tools/json_value.h"
#include "tools/rewrite.h"
#include "types/utf8.h"

namespace {

using brindle::Value;
using brindle::fuzz::check;
namespace tools = brindle::tools;

// A name as long as a file name allows, in two-byte characters, so that the
// tools' side files get shortened names cut at a character boundary.
std::string long_name() {
  std::string name;
  for (int i = 0; i < 124; ++i) name += "\xc3\xa9";
  return name + "xyz";
}
const std::vector<std::string> kCollections = {"a", "b", "", long_name()};
const std::vector<std::string> kKeys = {"k0", "k1", ""};
// The files the damage may touch: "c" has no records of its own, and ".brd"
// is the file of the collection named by the empty string.
const std::vector<std::string> kFiles = {"a.brd", "b.brd", ".brd", "c.brd", long_name() + ".brd",
                                         "a.brl", "b.brl", ".brl", "c.brl", long_name() + ".brl"};

enum class Framing { End, Torn, BadString };

// A data file as framed here: every whole record, and where and why framing stopped.
struct DataModel {
  struct Record {
    std::string key;
    std::string value;  // the value bytes as stored
  };
  std::vector<Record> records;
  Framing framing = Framing::End;
  std::uint64_t at = 0;  // the end of the whole records
  // The live record of each key, as an index into records; in file order of those records.
  std::vector<std::size_t> live;
};

std::uint32_t u32_at(std::string_view bytes, std::size_t pos) {
  std::uint32_t n;
  std::memcpy(&n, bytes.data() + pos, 4);
  return n;
}

std::string u32_bytes(std::size_t n) {
  const auto v = static_cast<std::uint32_t>(n);
  std::string out(4, '\0');
  std::memcpy(out.data(), &v, 4);
  return out;
}

// Framing: the key length and key and the value length fit, else torn; a
// value's type byte fits, else torn; the key is UTF-8, else bad; the value
// fits, else torn.
DataModel frame_data(std::string_view file) {
  DataModel model;
  std::size_t pos = 0;
  while (pos < file.size()) {
    const std::size_t left = file.size() - pos;
    model.framing = Framing::Torn;
    if (left < 4) break;
    const std::size_t key_length = u32_at(file, pos);
    if (left - 4 < key_length + 4) break;
    const std::string_view key = file.substr(pos + 4, key_length);
    const std::size_t value_length = u32_at(file, pos + 4 + key_length);
    const std::size_t value_start = pos + 8 + key_length;
    if (value_length > 0 && value_start >= file.size()) break;
    if (!brindle::is_valid_utf8(key)) {
      model.framing = Framing::BadString;
      break;
    }
    if (file.size() - value_start < value_length) break;
    model.framing = Framing::End;
    model.records.push_back({std::string(key), std::string(file.substr(value_start, value_length))});
    pos = value_start + value_length;
  }
  model.at = pos;
  // The last record of a key decides; one whose value starts with the
  // tombstone byte deletes it.
  std::map<std::string, std::size_t> last;
  for (std::size_t i = 0; i < model.records.size(); ++i) last[model.records[i].key] = i;
  for (std::size_t i = 0; i < model.records.size(); ++i) {
    const auto& record = model.records[i];
    const bool deletes = !record.value.empty() && static_cast<std::uint8_t>(record.value[0]) == brindle::kTombstoneTypeByte;
    if (last[record.key] == i && !deletes) model.live.push_back(i);
  }
  return model;
}

using Entry = std::tuple<std::string, std::string, std::string>;  // source collection, key, path

// A backlink file as framed here: the entries under each target key after
// its adds and removes, and where and why framing stopped.
struct BacklinkModel {
  std::map<std::string, std::vector<Entry>> entries;
  Framing framing = Framing::End;
  std::uint64_t at = 0;
};

// Framing: an op byte and four strings; every string that fits is checked
// for UTF-8 in order (bad), then a string that does not fit makes it torn.
BacklinkModel frame_backlinks(std::string_view file) {
  BacklinkModel model;
  std::size_t pos = 0;
  while (pos < file.size()) {
    std::size_t at = pos + 1;
    std::vector<std::string_view> strings;
    while (strings.size() < 4 && file.size() - at >= 4 && file.size() - at - 4 >= u32_at(file, at)) {
      strings.push_back(file.substr(at + 4, u32_at(file, at)));
      at += 4 + strings.back().size();
    }
    model.framing = Framing::BadString;
    if (!std::all_of(strings.begin(), strings.end(), [](std::string_view s) { return brindle::is_valid_utf8(s); })) {
      break;
    }
    model.framing = Framing::Torn;
    if (strings.size() < 4) break;
    model.framing = Framing::End;
    const Entry entry(strings[1], strings[2], strings[3]);
    auto& list = model.entries[std::string(strings[0])];
    if (file[pos] == 1) list.push_back(entry);
    if (file[pos] == 2) std::erase(list, entry);
    pos = at;
  }
  model.at = pos;
  std::erase_if(model.entries, [](const auto& item) { return item.second.empty(); });
  return model;
}

std::string collection_of(const std::string& file) { return file.substr(0, file.size() - 4); }
bool is_data(const std::string& file) { return file.ends_with(".brd"); }

struct Directory {
  std::string root;
  std::map<std::string, std::string> files;  // of kFiles, those present: name -> bytes
  std::vector<std::string> names;            // every other entry, so that a file left behind shows
  std::vector<std::string> rewrites;         // leftovers of an interrupted rewrite, which any tool may remove

  static Directory read(const std::string& root) {
    Directory dir{root, {}, {}, {}};
    for (const std::string& name : kFiles) {
      if (brindle::testing::file_exists(root + "/" + name)) dir.files[name] = brindle::testing::read_file(root + "/" + name);
    }
    if (auto listed = brindle::list_directory(root)) {
      for (std::string& name : *listed) (name.ends_with(tools::kRewriteSuffix) ? dir.rewrites : dir.names).push_back(name);
    }
    std::sort(dir.names.begin(), dir.names.end());
    std::sort(dir.rewrites.begin(), dir.rewrites.end());
    return dir;
  }
  // Nothing added or changed; leftovers may have gone.
  bool same_as(const Directory& earlier) const {
    return files == earlier.files && names == earlier.names &&
           std::includes(earlier.rewrites.begin(), earlier.rewrites.end(), rewrites.begin(), rewrites.end());
  }
  bool any(bool data, Framing framing) const {
    for (const auto& [name, bytes] : files) {
      if (is_data(name) != data) continue;
      if ((data ? frame_data(bytes).framing : frame_backlinks(bytes).framing) == framing) return true;
    }
    return false;
  }
  bool damaged() const {
    return any(true, Framing::Torn) || any(true, Framing::BadString) || any(false, Framing::Torn) ||
           any(false, Framing::BadString);
  }
};

std::optional<Value> decoded(std::string_view bytes) {
  std::size_t pos = 0;
  auto value = brindle::decode(bytes, pos);
  if (!value) return std::nullopt;
  return std::move(*value);
}

// Calls visit(collection, key, link) for every link of every live record
// that decodes; stops when visit returns false.
template <class Visit>
void for_each_live_link(const Directory& dir, Visit visit) {
  std::vector<brindle::LinkRef> links;
  for (const auto& [name, bytes] : dir.files) {
    if (!is_data(name)) continue;
    const DataModel model = frame_data(bytes);
    for (std::size_t i : model.live) {
      const auto value = decoded(model.records[i].value);
      if (!value) continue;
      links.clear();
      brindle::collect_links(*value, {}, links);
      for (const auto& link : links) {
        if (!visit(collection_of(name), model.records[i].key, link)) return;
      }
    }
  }
}

// The backlink entries the live records call for, by target.
std::map<std::pair<std::string, std::string>, std::vector<Entry>> links_of_live(const Directory& dir) {
  std::map<std::pair<std::string, std::string>, std::vector<Entry>> out;
  for_each_live_link(dir, [&](const std::string& collection, const std::string& key, const brindle::LinkRef& link) {
    if (brindle::is_indexed_link_target(link.target_collection)) {
      out[{link.target_collection, link.target_key}].emplace_back(collection, key, link.source_path);
    }
    return true;
  });
  for (auto& [target, entries] : out) std::sort(entries.begin(), entries.end());
  return out;
}

bool links_outside_the_index(const Directory& dir) {
  bool found = false;
  for_each_live_link(dir, [&](const std::string&, const std::string&, const brindle::LinkRef& link) {
    found = !brindle::is_indexed_link_target(link.target_collection);
    return !found;
  });
  return found;
}

// check: the framing damage of every file, undecodable records counted.
tools::CheckReport checked(const Directory& dir) {
  tools::Progress quiet(nullptr);
  auto report = tools::check(dir.root, quiet);
  check(report.has_value(), "check failed: " + (report ? std::string() : report.error()));
  std::size_t damage = 0;
  std::uint64_t undecodable = 0;
  for (const auto& [name, bytes] : dir.files) {
    Framing framing;
    std::uint64_t at;
    if (is_data(name)) {
      const DataModel model = frame_data(bytes);
      framing = model.framing, at = model.at;
      for (const auto& record : model.records) undecodable += !decoded(record.value);
    } else {
      const BacklinkModel model = frame_backlinks(bytes);
      framing = model.framing, at = model.at;
    }
    if (framing == Framing::End) continue;
    ++damage;
    const std::string kind = framing == Framing::Torn ? "torn tail" : is_data(name) ? "invalid key" : "invalid string";
    const std::string path = dir.root + "/" + name;
    check(std::any_of(report->problems.begin(), report->problems.end(),
                      [&](const tools::Problem& p) { return p.file == path && p.kind == kind && p.offset == at; }),
          "check does not report the " + kind + " of " + name + " at " + std::to_string(at));
  }
  const auto framing_problems = std::count_if(report->problems.begin(), report->problems.end(),
                                              [](const tools::Problem& p) { return p.kind != "undecodable record"; });
  check(static_cast<std::size_t>(framing_problems) == damage, "check reports damage the files do not have");
  check(report->undecodable == undecodable, "check miscounts the undecodable records");
  return *report;
}

// The store opens the directory and reads every live record as framed here,
// and its backlink index holds exactly the links of the live records.
void store_reads(const Directory& dir) {
  auto db = brindle::Database::open(dir.root);
  check(db.has_value(), "the store does not open a repaired database: " + (db ? std::string() : db.error().to_string()));
  for (const auto& [name, bytes] : dir.files) {
    if (!is_data(name)) continue;
    const std::string collection = collection_of(name);
    const DataModel model = frame_data(bytes);
    for (std::size_t i : model.live) {
      const auto& record = model.records[i];
      auto got = db->get(collection, record.key);
      const auto value = decoded(record.value);
      check(got.has_value() == value.has_value(), "the store reads a record differently: " + name + " " + record.key);
      if (value) check(brindle::fuzz::encoded(*got) == brindle::fuzz::encoded(*value), "the store reads another value");
    }
    auto opened = db->collection(collection);
    check(opened.has_value(), "the store does not open collection " + name);
    check((*opened)->collection.live_keys() == model.live.size(), "the store holds other keys than the file: " + name);
  }
  for (const auto& [target, expected] : links_of_live(dir)) {
    auto got = db->get_backlinks(target.first, target.second);
    check(got.has_value(), "backlinks cannot be read after repair");
    std::vector<Entry> entries;
    for (const auto& e : *got) entries.emplace_back(e.source_collection, e.source_key, e.source_path);
    std::sort(entries.begin(), entries.end());
    check(entries == expected, "the backlinks of " + target.first + "/" + target.second + " are not the links");
  }
}

void check_is_clean(const Directory& dir) {
  const tools::CheckReport report = checked(dir);
  check(report.missing == 0 && report.stale == 0, "check finds backlink drift after a rebuild");
  check(report.problems.size() == std::min<std::uint64_t>(report.undecodable, tools::CheckReport::kExamples),
        "check finds problems after repair");
}

// stats and dump fail only on what they refuse; a dump loads into an empty
// directory and dumps again as the same text.
void read_tools(const Directory& dir, const std::string& scratch) {
  tools::Progress quiet(nullptr);
  auto stats = tools::stats(dir.root, quiet);
  const bool bad_string = dir.any(true, Framing::BadString) || dir.any(false, Framing::BadString);
  check(stats.has_value() == !bad_string, "stats succeeds or fails against the damage");

  bool undecodable_live = false;
  std::uint64_t live = 0;
  for (const auto& [name, bytes] : dir.files) {
    if (!is_data(name)) continue;
    const DataModel model = frame_data(bytes);
    live += model.live.size();
    for (std::size_t i : model.live) undecodable_live |= !decoded(model.records[i].value);
    if (stats) {
      const auto found = std::find_if(stats->collections.begin(), stats->collections.end(),
                                      [&](const tools::CollectionStats& c) { return c.name == collection_of(name); });
      check(found != stats->collections.end() && found->live_keys == model.live.size() &&
                found->records == model.records.size(),
            "stats miscounts " + name);
    }
  }
  std::string text;
  auto dumped = tools::dump(dir.root, std::nullopt, [&](std::string_view chunk) { return text.append(chunk), true; }, quiet);
  const bool refused = dir.any(true, Framing::BadString) || undecodable_live;
  check(dumped.has_value() == !refused, "dump succeeds or fails against the damage");
  if (!dumped) return;
  check(*dumped == live, "dump misses live records");

  const std::string fresh = scratch + "/loaded";
  bool served = false;
  auto loaded = tools::load(fresh, [&](std::string& chunk) -> tools::ToolResult<bool> {
    if (!served) chunk = text;
    served = true;
    return false;
  }, quiet);
  check(loaded.has_value() == !links_outside_the_index(dir),
        "load succeeds or fails against the links: " + (loaded ? std::string() : loaded.error()));
  if (!loaded) return;
  check(*loaded == live, "load misses records of the dump");
  std::string again;
  auto redumped = tools::dump(fresh, std::nullopt, [&](std::string_view chunk) { return again.append(chunk), true; }, quiet);
  check(redumped.has_value() && again == text, "a loaded dump dumps as other text");
  check_is_clean(Directory::read(fresh));
  // Loading the same lines again leaves the same records.
  served = false;
  check(tools::load(fresh, [&](std::string& chunk) -> tools::ToolResult<bool> {
    if (!served) chunk = text;
    served = true;
    return false;
  }, quiet).has_value(), "a dump loads once but not twice");
  again.clear();
  redumped = tools::dump(fresh, std::nullopt, [&](std::string_view chunk) { return again.append(chunk), true; }, quiet);
  check(redumped.has_value() && again == text, "a dump loaded twice dumps as other text");
}

void lay_down(FuzzedDataProvider& in, const std::string& root) {
  {
    auto db = brindle::Database::open(root);
    check(db.has_value(), "an empty database does not open");
    auto pick = [&](const std::vector<std::string>& from) {
      return from[in.ConsumeIntegralInRange<std::size_t>(0, from.size() - 1)];
    };
    for (int n = in.ConsumeIntegralInRange(0, 8); n > 0; --n) {
      const std::string collection = pick(kCollections), key = pick(kKeys);
      Value value;
      switch (in.ConsumeIntegralInRange(0, 4)) {
        case 0: value = Value(brindle::Tombstone{}); break;
        case 1: value = Value(in.ConsumeRandomLengthString(8)); break;
        case 2: value = Value(brindle::Link{pick(kCollections) + "/" + pick(kKeys), {}}); break;
        default: {
          brindle::TextMap map;
          map.insert_or_assign("to", Value(brindle::Link{pick(kCollections) + "/" + pick(kKeys), {}}));
          map.insert_or_assign("n", Value(in.ConsumeIntegral<std::int64_t>()));
          value = Value(std::move(map));
        }
      }
      (void)db->set(collection, key, value);  // a refused write is fine: this only lays down files
    }
  }
  for (int n = in.ConsumeIntegralInRange(0, 4); n > 0; --n) {
    const std::string path = root + "/" + kFiles[in.ConsumeIntegralInRange<std::size_t>(0, kFiles.size() - 1)];
    std::string bytes = brindle::testing::file_exists(path) ? brindle::testing::read_file(path) : std::string();
    const auto at = static_cast<std::size_t>(in.ConsumeProbability<double>() * static_cast<double>(bytes.size()));
    switch (in.ConsumeIntegralInRange(0, 6)) {
      case 0: bytes += in.ConsumeRandomLengthString(64); break;
      case 1: bytes.resize(at); break;
      case 2: {
        const std::string patch = in.ConsumeRandomLengthString(8);
        bytes.replace(at, std::min(patch.size(), bytes.size() - at), patch);
        break;
      }
      case 3: bytes = in.ConsumeRandomLengthString(256); break;
      case 4: {  // a record that frames, holding any bytes
        const std::string key = in.ConsumeRandomLengthString(8), value = in.ConsumeRandomLengthString(32);
        bytes += u32_bytes(key.size()) + key + u32_bytes(value.size()) + value;
        break;
      }
      case 5: {  // a backlink record that frames
        bytes.push_back(static_cast<char>(in.ConsumeIntegralInRange(0, 3)));
        for (int i = 0; i < 4; ++i) {
          const std::string s = in.ConsumeRandomLengthString(8);
          bytes += u32_bytes(s.size()) + s;
        }
        break;
      }
      default:  // what an interrupted rewrite leaves
        brindle::testing::write_file(tools::side_path(path, tools::kRewriteSuffix), in.ConsumeRandomLengthString(16));
        continue;
    }
    brindle::testing::write_file(path, bytes);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const std::string& scratch = brindle::fuzz::fresh_dir();
  const std::string root = scratch + "/db";
  lay_down(in, root);
  const Directory before = Directory::read(root);
  tools::Progress quiet(nullptr);

  checked(before);
  read_tools(before, scratch);
  if (before.damaged()) {
    auto compacted = tools::compact(root, std::nullopt, quiet);
    check(!compacted.has_value(), "compact rewrote a damaged database");
    check(Directory::read(root).same_as(before), "a refused compact changed files");
  }
  if (before.any(true, Framing::Torn) || before.any(true, Framing::BadString)) {
    auto loaded = tools::load(root, [](std::string& chunk) -> tools::ToolResult<bool> {
      chunk = R"({"collection":"a","key":"k0","value":1})";
      return false;
    }, quiet);
    check(!loaded.has_value(), "load wrote into a database with a damaged data file");
    check(Directory::read(root).same_as(before), "a refused load changed files");
  }

  // A tear that starts below the length its file last ended whole at is
  // damage: refused, and nothing is cut.
  for (const auto& [name, bytes] : before.files) {
    if ((is_data(name) ? frame_data(bytes).framing : frame_backlinks(bytes).framing) != Framing::Torn) continue;
    const std::uint64_t at = is_data(name) ? frame_data(bytes).at : frame_backlinks(bytes).at;
    auto refused = tools::move_torn_tails(root, {}, {{name, at + 1}});
    check(!refused.has_value(), "a tear below its floor was cut: " + name);
    check(Directory::read(root).same_as(before), "a refused cut changed files");
    break;
  }

  // Repair, as the command does it with --rebuild-backlinks.
  check(tools::remove_leftovers(root).has_value(), "leftovers cannot be removed");
  auto listed = tools::list_files(root);
  check(listed.has_value() && listed->leftovers.empty(), "leftovers are not removed");
  auto tails = tools::move_torn_tails(root);
  check(tails.has_value(), "torn tails cannot be moved: " + (tails ? std::string() : tails.error()));
  std::size_t torn = 0;
  for (const auto& [name, bytes] : before.files) {
    const std::uint64_t at = is_data(name) ? frame_data(bytes).at : frame_backlinks(bytes).at;
    const bool is_torn = (is_data(name) ? frame_data(bytes).framing : frame_backlinks(bytes).framing) == Framing::Torn;
    const auto moved = std::find_if(tails->begin(), tails->end(),
                                    [&](const tools::TornTail& t) { return t.file == root + "/" + name; });
    check((moved != tails->end()) == is_torn, "repair moves a tail that is not torn, or misses one: " + name);
    torn += is_torn;
    if (!is_torn) continue;
    check(moved->offset == at && moved->bytes == bytes.size() - at, "repair cuts at another offset: " + name);
    check(brindle::testing::read_file(root + "/" + name) == bytes.substr(0, at), "repair cut other bytes: " + name);
    check(brindle::testing::read_file(moved->side_file).ends_with(bytes.substr(at)), "the tail moved aside is not the tail");
  }
  check(tails->size() == torn, "repair reports tails twice");
  const Directory cut = Directory::read(root);
  auto whole = tools::whole_files(root, {});
  check(whole.has_value(), "whole_files failed");
  for (const auto& [name, bytes] : cut.files) {
    const bool bad = (is_data(name) ? frame_data(bytes).framing : frame_backlinks(bytes).framing) != Framing::End;
    check(bad == (std::find(whole->begin(), whole->end(), name) == whole->end()), "whole_files misjudges " + name);
  }

  auto rebuilt = tools::rebuild_backlinks(root, quiet);
  check(rebuilt.has_value() == !cut.any(true, Framing::BadString),
        "the rebuild succeeds or fails against the damage: " + (rebuilt ? std::string() : rebuilt.error()));
  if (!rebuilt) {
    check(Directory::read(root).same_as(cut), "a refused rebuild changed files");
    return 0;
  }
  const Directory repaired = Directory::read(root);
  for (const auto& [name, bytes] : cut.files) {
    if (is_data(name)) {
      check(repaired.files.at(name) == bytes, "the rebuild changed a data file");
      continue;
    }
    // Entries the old file held keep its order, ahead of those it lacked.
    const BacklinkModel old = frame_backlinks(bytes);
    const auto now = repaired.files.find(name);
    if (old.framing != Framing::End || now == repaired.files.end()) continue;
    for (const auto& [key, list] : frame_backlinks(now->second).entries) {
      const auto was = old.entries.find(key);
      std::vector<std::size_t> ranks;
      for (const Entry& entry : list) {
        std::size_t rank = SIZE_MAX;
        if (was != old.entries.end()) {
          const auto found = std::find(was->second.begin(), was->second.end(), entry);
          if (found != was->second.end()) rank = static_cast<std::size_t>(found - was->second.begin());
        }
        ranks.push_back(rank);
      }
      check(std::is_sorted(ranks.begin(), ranks.end()), "the rebuild reordered the entries of " + name);
    }
  }
  check_is_clean(repaired);
  store_reads(repaired);

  auto compacted = tools::compact(root, std::nullopt, quiet);
  check(compacted.has_value(), "compact failed on a repaired database: " + (compacted ? std::string() : compacted.error()));
  const Directory compacted_dir = Directory::read(root);
  std::uint64_t size_before = 0, size_after = 0;
  for (const auto& [name, bytes] : repaired.files) size_before += bytes.size();
  for (const auto& [name, bytes] : compacted_dir.files) size_after += bytes.size();
  check(*compacted == size_before - size_after, "compact miscounts the bytes it freed");
  for (const auto& [name, bytes] : repaired.files) {
    const auto found = compacted_dir.files.find(name);
    check(found != compacted_dir.files.end(), "compact removed a file");
    if (is_data(name)) {
      const DataModel old_model = frame_data(bytes), new_model = frame_data(found->second);
      check(new_model.framing == Framing::End && new_model.live.size() == new_model.records.size() &&
                new_model.live.size() == old_model.live.size(),
            "compact kept dead records or lost live ones: " + name);
      for (std::size_t i = 0; i < old_model.live.size(); ++i) {
        const auto& was = old_model.records[old_model.live[i]];
        const auto& is = new_model.records[i];
        check(was.key == is.key && was.value == is.value, "compact changed a live record: " + name);
      }
    } else {
      check(frame_backlinks(found->second).entries == frame_backlinks(bytes).entries,
            "compact changed the backlink entries of " + name);
    }
  }
  check_is_clean(compacted_dir);
  store_reads(compacted_dir);
  return 0;
}
