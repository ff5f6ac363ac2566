// Writes the starting corpora of the fuzz programs, made by the store's own
// code so that they begin from well-formed input:
//   make_seeds DIR   ->  DIR/<target>/<seed>
// decode_value gets encodings of every kind of value and json_value their
// JSON plus hand-written text in every tagged form, data_file and
// backlink_file get files written through Collection and BacklinkIndex, and
// database and tools get a few fixed pseudo-random streams of steps.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>

#include "backlinks/backlink_index.h"
#include "fuzz/support.h"
#include "storage/collection.h"
#include "tools/json_value.h"

namespace {

using namespace brindle;
namespace fs = std::filesystem;

Value sample_record() {
  TextMap local;
  local.insert_or_assign("role", Value("author"));
  TextMap map;
  map.insert_or_assign("name", Value("Ada"));
  map.insert_or_assign("born", Value(Date{18151210}));
  map.insert_or_assign("ratio", Value(0.5));
  map.insert_or_assign("ok", Value(true));
  map.insert_or_assign("photo", Value(Blob{std::string("\x89PNG\0\x01", 6)}));
  map.insert_or_assign("friend", Value(Link{"people/bob", std::move(local)}));
  map.insert_or_assign("tags", Value(Array{Value("x"), Value(std::int64_t{-7}), Value(), Value(Time{3600})}));
  map.insert_or_assign("at", Value(DateTime{1700000000000}));
  return Value(std::move(map));
}

void put(const fs::path& file, const std::string& bytes) {
  fs::create_directories(file.parent_path());
  testing::write_file(file.string(), bytes);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  const fs::path out = argv[1];

  const Value values[] = {Value(), Value(Tombstone{}), Value(std::int64_t{1} << 40), Value("text"),
                          Value(Link{"c/$self.f", {}}), sample_record()};
  int n = 0;
  for (const Value& value : values) put(out / "decode_value" / ("value" + std::to_string(n++)), fuzz::encoded(value));

  n = 0;
  for (const Value& value : values) {
    std::string text;
    tools::write_json(value, text);
    put(out / "json_value" / ("value" + std::to_string(n++)), text);
  }
  // Forms the writer never makes but the reader takes (white space, escapes,
  // upper-case hex, a wrapped map, an empty local map), and extremes.
  const char* texts[] = {
      R"( { "$map" : { "$x" : [ 1 , -0.0 , 1e+16 , 2E-3 ] } } )",
      R"(["\u00e9\uD83D\uDE00\/\b\f", {"$float": "nan:0x7ff0000000000001"}, {"$float": "-inf"}])",
      R"({"$link": "people/ada", "local": {}})",
      R"({"$bytes": "AAEC/w=="})",
      R"([{"$date": 4294967295}, {"$time": 0}, {"$datetime": 18446744073709551615}, -9223372036854775808])",
      R"({"a": {"$tombstone": null}, "b": {"$link": "x/$y", "local": {"$z": true}}})",
  };
  n = 0;
  for (const char* text : texts) put(out / "json_value" / ("text" + std::to_string(n++)), text);

  testing::TempDir scratch;
  {
    auto collection = Collection::open(scratch.file("c.brd"));
    if (!collection) return 1;
    (void)collection->set("ada", sample_record());
    (void)collection->set("bob", Value("short"));
    (void)collection->set("ada", Value(Tombstone{}));
    (void)collection->set("", Value(Array{}));
  }
  put(out / "data_file" / "records", testing::read_file(scratch.file("c.brd")));
  {
    auto index = BacklinkIndex::open(scratch.file("t.brl"));
    if (!index) return 1;
    (void)index->add("bob", {"people", "ada", "friend"});
    (void)index->add("bob", {"books", "b1", "authors/0"});
    (void)index->remove("bob", {"people", "ada", "friend"});
    (void)index->add("", {"c", "", ""});
  }
  put(out / "backlink_file" / "entries", testing::read_file(scratch.file("t.brl")));

  std::mt19937 random(20261206);
  for (std::size_t size : {64, 512, 4096}) {
    std::string ops(size, '\0');
    for (char& c : ops) c = static_cast<char>(random());
    put(out / "database" / ("ops" + std::to_string(size)), ops);
  }
  // The tools target reads its writes and damage from the input as the
  // database target reads its operations; drawn after those, so theirs stay.
  for (std::size_t size : {64, 512, 2048}) {
    std::string steps(size, '\0');
    for (char& c : steps) c = static_cast<char>(random());
    put(out / "tools" / ("steps" + std::to_string(size)), steps);
  }
  return 0;
}
