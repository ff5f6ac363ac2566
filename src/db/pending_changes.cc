#include "db/pending_changes.h"

#include <cstring>
#include <utility>

#include "codec/framing.h"

namespace brindle {

PendingChanges::PendingChanges(PendingChanges&& other) noexcept
    : chunks_(std::exchange(other.chunks_, {})),
      front_chunk_(std::exchange(other.front_chunk_, 0)),
      front_pos_(std::exchange(other.front_pos_, 0)),
      count_(std::exchange(other.count_, 0)),
      names_(std::exchange(other.names_, {})),
      name_ids_(std::exchange(other.name_ids_, {})) {}

std::uint32_t PendingChanges::intern(std::string_view name) {
  if (auto it = name_ids_.find(name); it != name_ids_.end()) return it->second;
  const auto id = static_cast<std::uint32_t>(names_.size());
  names_.emplace_back(name);
  name_ids_.emplace(std::string(name), id);
  return id;
}

void PendingChanges::push(BacklinkIndex::Op kind, std::string_view target_collection,
                          std::uint32_t record_collection, std::uint64_t record_offset,
                          std::string_view target_key, std::string_view source_key, std::string_view source_path) {
  const std::uint32_t target = intern(target_collection);
  const std::size_t size = kHeaderSize + 12 + target_key.size() + source_key.size() + source_path.size();
  if (chunks_.empty() || chunks_.back().capacity - chunks_.back().used < size) {
    const std::size_t capacity = std::max(size, kChunkSize);
    chunks_.push_back(Chunk{std::make_unique_for_overwrite<char[]>(capacity), 0, capacity});
  }
  Chunk& chunk = chunks_.back();
  char* p = chunk.bytes.get() + chunk.used;
  auto put = [&p](const void* bytes, std::size_t n) {
    std::memcpy(p, bytes, n);
    p += n;
  };
  const auto op = static_cast<std::uint8_t>(kind);
  put(&op, 1);
  put(&target, 4);
  put(&record_collection, 4);
  put(&record_offset, 8);
  for (std::string_view s : {target_key, source_key, source_path}) {
    const auto n = static_cast<std::uint32_t>(s.size());
    put(&n, 4);
    put(s.data(), s.size());
  }
  chunk.used += size;
  ++count_;
}

std::pair<PendingChanges::Change, std::size_t> PendingChanges::read(std::size_t chunk, std::size_t pos) const {
  const char* base = chunks_[chunk].bytes.get();
  const char* p = base + pos;
  Change change{};
  change.kind = static_cast<BacklinkIndex::Op>(static_cast<std::uint8_t>(p[0]));
  change.target_collection = names_[load_le<std::uint32_t>(p + 1)];
  change.record_collection = load_le<std::uint32_t>(p + 5);
  change.record_offset = load_le<std::uint64_t>(p + 9);
  p += kHeaderSize;
  for (std::string_view* s : {&change.target_key, &change.source_key, &change.source_path}) {
    const std::uint32_t n = load_u32(p);
    *s = std::string_view(p + 4, n);
    p += 4 + n;
  }
  return {change, static_cast<std::size_t>(p - base)};
}

void PendingChanges::advance(std::size_t& chunk, std::size_t& pos, std::size_t next) const {
  if (next == chunks_[chunk].used && chunk + 1 < chunks_.size()) {
    ++chunk;
    pos = 0;
  } else {
    pos = next;
  }
}

void PendingChanges::pop_front() {
  const std::size_t next = read(front_chunk_, front_pos_).second;
  --count_;
  if (count_ == 0) {
    // Nothing queued: give every chunk back.
    chunks_.clear();
    front_chunk_ = front_pos_ = 0;
    return;
  }
  advance(front_chunk_, front_pos_, next);
  while (front_chunk_ > 0) {
    chunks_.pop_front();
    --front_chunk_;
  }
}

}  // namespace brindle
