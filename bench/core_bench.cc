// Micro-benchmarks of the core's hot paths. They print figures; nothing here
// asserts on time.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "db/database.h"
#include "resolver/resolver.h"
#include "backlinks/entry_list.h"
#include "storage/collection.h"
#include "storage/key_index.h"
#include "testing/temp_dir.h"

namespace brindle {
namespace {

Value sample_record(int i) {
  TextMap map;
  map.insert_or_assign("name", Value("record-" + std::to_string(i)));
  map.insert_or_assign("count", Value(i));
  map.insert_or_assign("score", Value(i * 0.5));
  map.insert_or_assign("tags", Value(Array{Value("a"), Value("b"), Value(true)}));
  return Value(std::move(map));
}

void BM_Encode(benchmark::State& state) {
  Value value = sample_record(42);
  std::string out;
  for (auto _ : state) {
    out.clear();
    benchmark::DoNotOptimize(encode(value, out));
  }
}
BENCHMARK(BM_Encode);

void BM_Decode(benchmark::State& state) {
  std::string bytes;
  (void)encode(sample_record(42), bytes);
  for (auto _ : state) {
    std::size_t pos = 0;
    benchmark::DoNotOptimize(decode(bytes, pos));
  }
}
BENCHMARK(BM_Decode);

void BM_CollectionSetFlushed(benchmark::State& state) {
  testing::TempDir dir;
  auto collection = Collection::open(dir.file("c.brd"));
  Value value = sample_record(1);
  int i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(collection->set("k" + std::to_string(i++ % 100000), value));
}
BENCHMARK(BM_CollectionSetFlushed);

void BM_CollectionGet(benchmark::State& state) {
  testing::TempDir dir;
  {
    auto collection = Collection::open(dir.file("c.brd"));
    collection->set_defer_flush(true);
    for (int i = 0; i < 10000; ++i) (void)collection->set("k" + std::to_string(i), sample_record(i));
  }
  auto collection = Collection::open(dir.file("c.brd"));
  int i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(collection->get("k" + std::to_string(i++ % 10000)));
}
BENCHMARK(BM_CollectionGet);

void BM_OpenReplay(benchmark::State& state) {
  testing::TempDir dir;
  {
    auto collection = Collection::open(dir.file("c.brd"));
    collection->set_defer_flush(true);
    for (int i = 0; i < state.range(0); ++i) (void)collection->set("key-" + std::to_string(i), Value(i));
  }
  for (auto _ : state) benchmark::DoNotOptimize(Collection::open(dir.file("c.brd")));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_OpenReplay)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);

void BM_DatabaseSetWithLink(benchmark::State& state) {
  testing::TempDir dir;
  auto db = Database::open(dir.path());
  int i = 0;
  for (auto _ : state) {
    TextMap map;
    map.insert_or_assign("author", Value(Link{"people/p" + std::to_string(i % 100), {}}));
    benchmark::DoNotOptimize(db->set("books", "b" + std::to_string(i++), Value(std::move(map))));
  }
}
BENCHMARK(BM_DatabaseSetWithLink);

void BM_ResolveTwoHops(benchmark::State& state) {
  testing::TempDir dir;
  auto db = Database::open(dir.path());
  TextMap alice;
  alice.insert_or_assign("name", Value("Alice"));
  (void)db->set("people", "alice", Value(std::move(alice)));
  TextMap bob;
  bob.insert_or_assign("mentor", Value(Link{"people/alice", {}}));
  (void)db->set("people", "bob", Value(std::move(bob)));
  TextMap book;
  book.insert_or_assign("author", Value(Link{"people/bob", {}}));
  (void)db->set("books", "b1", Value(std::move(book)));
  const std::string path[] = {"author", "mentor", "name"};
  for (auto _ : state) {
    Resolver resolver(*db);
    benchmark::DoNotOptimize(resolver.get_field("books", "b1", path));
  }
}
BENCHMARK(BM_ResolveTwoHops);

void BM_KeyIndexFind(benchmark::State& state) {
  KeyIndex index;
  std::vector<std::string> keys;
  for (int i = 0; i < state.range(0); ++i) keys.push_back("key-" + std::to_string(i));
  for (std::size_t i = 0; i < keys.size(); ++i) index.put(keys[i], i, false);
  std::size_t i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(index.find(keys[(i += 7919) % keys.size()]));
}
BENCHMARK(BM_KeyIndexFind)->Arg(20000)->Arg(1000000);

// Deleting a record that held n links to one key: n removals from one list.
void BM_EntryListRemoveEach(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  std::vector<std::string> paths;
  for (int i = 0; i < n; ++i) paths.push_back("refs/" + std::to_string(i));
  for (auto _ : state) {
    EntryList list;
    for (const std::string& p : paths) list.add(0, "big", p);
    for (const std::string& p : paths) list.remove_all(0, "big", p);
    benchmark::DoNotOptimize(list.size());
  }
  state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_EntryListRemoveEach)->Arg(100000)->Unit(benchmark::kMillisecond);

// Floors: what the same work costs with nothing of ours in it, for the
// figures no change to our code can beat.

// One write(2) of a 110-byte record to a file opened for appending: every
// acknowledged write makes one to its data file and, with a link, one to a
// backlink index.
void BM_FloorAppendWrite(benchmark::State& state) {
  testing::TempDir dir;
  const std::string path = dir.file("floor.bin");
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) {
    state.SkipWithError("cannot create the file");
    return;
  }
  const std::string record(110, 'r');
  for (auto _ : state) benchmark::DoNotOptimize(::write(fd, record.data(), record.size()));
  ::close(fd);
}
BENCHMARK(BM_FloorAppendWrite);

// One pread(2) of n bytes at a random offset of a warm file of m MiB: a get
// of a record that is neither buffered nor cached makes one, of 512 bytes.
// Args: {m, n}.
void BM_FloorPread(benchmark::State& state) {
  const auto mib = static_cast<std::size_t>(state.range(0));
  const auto bytes = static_cast<std::size_t>(state.range(1));
  testing::TempDir dir;
  const std::string path = dir.file("floor.bin");
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  const std::string chunk(1 << 20, 'r');
  for (std::size_t i = 0; fd >= 0 && i < mib; ++i) {
    if (::write(fd, chunk.data(), chunk.size()) != static_cast<ssize_t>(chunk.size())) {
      state.SkipWithError("cannot fill the file");
      ::close(fd);
      return;
    }
  }
  if (fd < 0) {
    state.SkipWithError("cannot create the file");
    return;
  }
  std::mt19937_64 rng(7);
  std::vector<char> buffer(bytes);
  for (auto _ : state) {
    const off_t offset = static_cast<off_t>(rng() % ((mib << 20) - bytes));
    benchmark::DoNotOptimize(::pread(fd, buffer.data(), bytes, offset));
  }
  ::close(fd);
}
BENCHMARK(BM_FloorPread)->Args({8, 110})->Args({8, 512})->Args({128, 512});

// Inserting n precomputed 64-bit hashes into an open-addressing table of
// 8-byte slots at half load: the least an index rebuilt at open must do per
// key, before reading, framing, validating or hashing anything.
void BM_FloorIndexBuild(benchmark::State& state) {
  const std::size_t n = static_cast<std::size_t>(state.range(0));
  std::vector<std::uint64_t> hashes(n);
  std::mt19937_64 rng(7);
  for (std::uint64_t& h : hashes) h = rng() | 1;
  std::size_t slots = 1;
  while (slots < 2 * n) slots <<= 1;
  for (auto _ : state) {
    std::vector<std::uint64_t> table(slots, 0);
    for (std::uint64_t h : hashes) {
      std::size_t i = h & (slots - 1);
      while (table[i] != 0) i = (i + 1) & (slots - 1);
      table[i] = h;
    }
    benchmark::DoNotOptimize(table.data());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(n));
}
BENCHMARK(BM_FloorIndexBuild)->Arg(1000000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace brindle
