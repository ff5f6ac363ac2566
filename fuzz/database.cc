// The whole core driven by a stream of operations decoded from the input
// (set, delete, get, begin, commit, resolve, backlinks, reopen) and checked
// against a small in-memory model of the records and the backlink index.
//
// The model follows only what the store acknowledged: a write is applied to
// it when it returns success. A failure is accepted only where the model
// predicts one (an absent key, an invalid collection name in the record's
// collection or in a link target); any other error, and any answer that
// differs from the model, is a finding. Writes that fail as predicted must
// leave no trace, so the model stays as it was.
//
// The name space is small (three collections, four keys) so that links hit
// existing records, overwrite and delete them, and form cycles.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "db/database.h"
#include "fuzz/support.h"
#include "resolver/resolver.h"
#include "types/debug_string.h"

namespace {

using brindle::Database;
using brindle::Value;
using brindle::fuzz::check;
using brindle::fuzz::encoded;
using brindle::fuzz::fail;

using namespace std::string_literals;
const std::vector<std::string> kCollections = {"a", "b", "c"};
const std::string kInvalidCollection = "x\0y"s;
const std::vector<std::string> kKeys = {"k0", "k1", "k2", ""};
// "f/g" as one field holds a link at the same place as "g" inside "f": one
// value can then hold the same link twice.
const std::vector<std::string> kFields = {"f", "g", "h", "f/g"};

using RecordId = std::pair<std::string, std::string>;                 // collection, key
using Entry = std::tuple<std::string, std::string, std::string>;     // source collection, key, path

// A link of a value as the index sees it: an indexable path has a "/", a
// non-empty collection before it and a key that does not start with "$".
struct ModelLink {
  RecordId target;
  std::string source_path;
  bool operator<(const ModelLink& o) const {
    return std::tie(target, source_path) < std::tie(o.target, o.source_path);
  }
};

std::optional<RecordId> indexed_target(std::string_view path) {
  std::size_t slash = path.find('/');
  if (slash == std::string_view::npos || slash == 0) return std::nullopt;
  std::string_view rest = path.substr(slash + 1);
  std::string_view key = rest.substr(0, rest.find('/'));
  if (!key.empty() && key.front() == '$') return std::nullopt;
  return RecordId(std::string(path.substr(0, slash)), std::string(key));
}

void links_in(const Value& value, const std::string& at, std::vector<ModelLink>& out) {
  auto below = [&](std::string_view segment) { return at.empty() ? std::string(segment) : at + "/" + std::string(segment); };
  if (const auto* array = value.get_if<brindle::Array>()) {
    for (std::size_t i = 0; i < array->size(); ++i) links_in((*array)[i], below(std::to_string(i)), out);
  } else if (const auto* map = value.get_if<brindle::TextMap>()) {
    for (const auto& e : *map) links_in(e.value, below(e.key), out);
  } else if (const auto* link = value.get_if<brindle::Link>()) {
    if (auto target = indexed_target(link->path)) out.push_back({*target, at});
    for (const auto& e : link->local) links_in(e.value, below(e.key), out);
  }
}

// The index is not modelled change by change: outside a transaction it must
// hold exactly the links of the records as of the last commit (or autocommit
// write), each as often as the records hold it.
struct Model {
  std::map<RecordId, Value> records;
  std::map<RecordId, Value> committed;
  bool in_transaction = false;

  void write(const RecordId& id, std::optional<Value> value) {
    for (auto* state : {&records, &committed}) {
      if (state == &committed && in_transaction) break;
      if (value) {
        state->insert_or_assign(id, *value);
      } else {
        state->erase(id);
      }
    }
  }

  void commit() {
    committed = records;
    in_transaction = false;
  }

  std::vector<Entry> backlinks_of(const RecordId& target) const {
    std::vector<Entry> entries;
    std::vector<ModelLink> links;
    for (const auto& [id, value] : committed) {
      links.clear();
      links_in(value, "", links);
      for (const ModelLink& link : links) {
        if (link.target == target) entries.emplace_back(id.first, id.second, link.source_path);
      }
    }
    std::sort(entries.begin(), entries.end());
    return entries;
  }
};

bool links_into_invalid_collection(const Value& value) {
  std::vector<ModelLink> links;
  links_in(value, "", links);
  return std::any_of(links.begin(), links.end(),
                     [](const ModelLink& link) { return !brindle::is_valid_collection_name(link.target.first); });
}

std::string describe(const RecordId& id) {
  return brindle::quote_text(id.first) + "/" + brindle::quote_text(id.second);
}

class Driver {
 public:
  // With trace set, each operation is printed as it runs: run a reproducer
  // with BRINDLE_FUZZ_TRACE=1 to see the steps that led to a finding.
  Driver(const std::uint8_t* data, std::size_t size, std::string root, bool trace)
      : in_(data, size), root_(std::move(root)), trace_(trace) {}

  void run() {
    open();
    while (in_.remaining_bytes() > 0) step();
    check_everything();
  }

 private:
  template <class T>
  const T& pick(const std::vector<T>& from) {
    return from[in_.ConsumeIntegralInRange<std::size_t>(0, from.size() - 1)];
  }

  std::string pick_collection() { return in_.ConsumeIntegralInRange(0, 15) == 0 ? kInvalidCollection : pick(kCollections); }

  std::string ascii_text() {
    std::string text = in_.ConsumeRandomLengthString(6);
    for (char& c : text) c = static_cast<char>('a' + static_cast<unsigned char>(c) % 26);
    return text;
  }

  std::string link_path() {
    std::string path;
    switch (in_.ConsumeIntegralInRange(0, 9)) {
      case 0: return pick(kKeys);                                           // no collection piece
      case 1: path = "/" + pick(kKeys); break;                              // empty collection piece
      case 2: path = pick(kCollections) + "/$self"; break;
      case 3: path = pick(kCollections) + "/$self." + pick(kFields); break;
      case 4: path = kInvalidCollection + "/" + pick(kKeys); break;
      default: path = pick(kCollections) + "/" + pick(kKeys); break;
    }
    if (in_.ConsumeIntegralInRange(0, 4) == 0) path += "/" + pick(kFields);  // walked inside the target
    return path;
  }

  brindle::TextMap fields(int depth) {
    brindle::TextMap map;
    for (int n = in_.ConsumeIntegralInRange(0, 3); n > 0; --n) map.insert_or_assign(pick(kFields), value(depth + 1));
    return map;
  }

  Value value(int depth) {
    switch (in_.ConsumeIntegralInRange(0, depth >= 3 ? 3 : 7)) {
      case 0: return Value();
      case 1: return Value(in_.ConsumeIntegral<std::int64_t>());
      case 2: return Value(ascii_text());
      case 3: return Value(brindle::Link{link_path(), {}});
      case 4: return Value(brindle::Link{link_path(), fields(depth)});
      case 5: return Value(fields(depth));
      case 6: {
        brindle::Array array;
        for (int n = in_.ConsumeIntegralInRange(0, 3); n > 0; --n) array.push_back(value(depth + 1));
        return Value(std::move(array));
      }
      default: return Value(brindle::Blob{in_.ConsumeRandomLengthString(8)});
    }
  }

  void note(const std::string& what) {
    if (trace_) std::fprintf(stderr, "  %s\n", what.c_str());
  }

  void open() {
    auto opened = Database::open(root_);
    if (!opened) fail("open: " + opened.error().to_string());
    db_.emplace(std::move(*opened));
  }

  void step() {
    const RecordId id(pick_collection(), pick(kKeys));
    switch (in_.ConsumeIntegralInRange(0, 9)) {
      case 0:
      case 1:
      case 2: {
        // Mostly maps at the top, so that resolve has fields to walk.
        Value v = in_.ConsumeBool() ? Value(fields(0)) : value(0);
        write(id, std::move(v));
        break;
      }
      case 3: write(id, std::nullopt); break;
      case 4: check_get(id); break;
      case 5:
        note("begin");
        db_->begin();
        model_.in_transaction = true;
        break;
      case 6: {
        note("commit");
        auto committed = db_->commit();
        if (!committed) fail("commit: " + committed.error().to_string());
        model_.commit();
        break;
      }
      case 7: check_resolve(id, pick(kFields)); break;
      case 8: check_backlinks(id); break;
      default: reopen(); break;
    }
  }

  void write(const RecordId& id, std::optional<Value> value) {
    const bool refused = !brindle::is_valid_collection_name(id.first) ||
                         (value && links_into_invalid_collection(*value));
    auto written = db_->set(id.first, id.second, value ? *value : Value(brindle::Tombstone{}));
    note((value ? "set " + describe(id) + " = " + brindle::debug_string(*value) : "delete " + describe(id)) +
         (written ? "" : " -> " + written.error().to_string()));
    if (refused) {
      check(!written.has_value(), "a write into an invalid collection name succeeded");
      return;
    }
    if (!written) fail("set: " + written.error().to_string());
    model_.write(id, std::move(value));
  }

  void reopen() {
    note("reopen");
    db_.reset();  // writes out what a transaction left buffered and applies its queue
    model_.commit();
    open();
    check_everything();
  }

  void check_get(const RecordId& id) {
    auto got = db_->get(id.first, id.second);
    if (!brindle::is_valid_collection_name(id.first)) {
      check(!got && got.error().is_io(), "get from an invalid collection name did not fail with io");
      return;
    }
    auto it = model_.records.find(id);
    if (it == model_.records.end()) {
      if (got) fail("get " + describe(id) + " found a record that was never written or was deleted");
      check(got.error().is_key_not_found(), "get of an absent key: " + got.error().to_string());
      return;
    }
    if (!got) fail("get " + describe(id) + ": " + got.error().to_string());
    check(encoded(*got) == encoded(it->second), "get " + describe(id) + " returned " + brindle::debug_string(*got) +
                                                    ", not the value stored: " + brindle::debug_string(it->second));
  }

  void check_backlinks(const RecordId& id) {
    auto got = db_->get_backlinks(id.first, id.second);
    if (!brindle::is_valid_collection_name(id.first)) {
      check(!got, "backlinks of an invalid collection name did not fail");
      return;
    }
    if (!got) fail("backlinks: " + got.error().to_string());
    std::vector<Entry> actual;
    for (const auto& e : *got) actual.emplace_back(e.source_collection, e.source_key, e.source_path);
    std::sort(actual.begin(), actual.end());
    const std::vector<Entry> expected = model_.backlinks_of(id);
    if (actual != expected) {
      std::string detail = "backlinks of " + describe(id) + " differ from the links of the stored records:";
      for (const Entry& e : actual) detail += " [index " + describe({std::get<0>(e), std::get<1>(e)}) + " " + std::get<2>(e) + "]";
      for (const Entry& e : expected) detail += " [model " + describe({std::get<0>(e), std::get<1>(e)}) + " " + std::get<2>(e) + "]";
      fail(detail);
    }
  }

  // The expected result of resolving one field of a record, where the model
  // can say: a map root, then plain "collection/key" links only. nullopt for
  // anything else, whose result is then only required not to crash.
  struct Expected {
    std::optional<Value> value;  // empty: an error is expected
    bool cyclic = false;
    bool missing_root = false;
  };
  std::optional<Expected> expected_resolve(const RecordId& id, const std::string& field) {
    auto root = model_.records.find(id);
    if (root == model_.records.end()) return Expected{std::nullopt, false, true};
    const auto* map = root->second.get_if<brindle::TextMap>();
    if (map == nullptr) return std::nullopt;
    const Value* found = map->find(field);
    Value current = found ? *found : Value();
    for (std::size_t hops = 0;; ++hops) {
      const auto* link = current.get_if<brindle::Link>();
      if (link == nullptr) return Expected{std::move(current)};
      if (hops >= brindle::Resolver::kMaxHops) return Expected{std::nullopt, true};
      std::size_t slash = link->path.find('/');
      if (slash == std::string::npos || link->path.find('/', slash + 1) != std::string::npos) return std::nullopt;
      RecordId target(link->path.substr(0, slash), link->path.substr(slash + 1));
      if (target.first.empty() || !brindle::is_valid_collection_name(target.first)) return std::nullopt;
      if (target.second.starts_with("$")) return std::nullopt;
      auto next = model_.records.find(target);
      if (next == model_.records.end()) return Expected{Value()};  // dangling reads as Null
      current = next->second;
    }
  }

  void check_resolve(const RecordId& id, const std::string& field) {
    const std::vector<std::string> path{field};
    auto got = brindle::Resolver(*db_).get_field(id.first, id.second, path);
    if (!brindle::is_valid_collection_name(id.first)) {
      check(!got, "resolve from an invalid collection name succeeded");
      return;
    }
    auto expected = expected_resolve(id, field);
    if (!expected) return;
    if (expected->missing_root) {
      check(!got && got.error().to_string() == "storage: key not found",
            "resolve from an absent record did not fail with key not found");
    } else if (expected->cyclic) {
      check(!got && got.error().kind() == brindle::ResolveError::Kind::CyclicLink,
            "resolve of a link cycle did not report it");
    } else {
      if (!got) fail("resolve: " + got.error().to_string());
      check(encoded(*got) == encoded(*expected->value), "resolve returned another value than the model");
    }
  }

  void check_everything() {
    for (const std::string& collection : kCollections) {
      for (const std::string& key : kKeys) {
        check_get({collection, key});
        check_backlinks({collection, key});
      }
    }
  }

  FuzzedDataProvider in_;
  std::string root_;
  bool trace_;
  std::optional<Database> db_;
  Model model_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool trace = std::getenv("BRINDLE_FUZZ_TRACE") != nullptr;
  Driver(data, size, brindle::fuzz::fresh_dir() + "/db", trace).run();
  return 0;
}
