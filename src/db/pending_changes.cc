#include "db/pending_changes.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "types/varint.h"

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

std::size_t PendingChanges::push_size(std::string_view target_key, std::string_view source_key,
                                     std::string_view source_path) noexcept {
  // Room for the longest form; the chunk keeps only what is written.
  return 1 + 6 * kMaxVarintSize + target_key.size() + source_key.size() + source_path.size();
}

void PendingChanges::reserve(std::size_t bytes) {
  // The pushes fill what the last chunk in use has left, then a chunk made
  // here: room for all of them there is enough, and the queue stays packed.
  if (!chunks_.empty() && chunks_.back().used == 0) {
    if (chunks_.back().capacity >= bytes) return;
    // Made for a write that failed, and too small: replaced, never left
    // between queued changes, where reading would take it for one.
    chunks_.pop_back();
  }
  if (!chunks_.empty() && chunks_.back().capacity - chunks_.back().used >= bytes) return;
  const std::size_t capacity = std::max(bytes, kChunkSize);
  chunks_.push_back(Chunk{std::make_unique_for_overwrite<char[]>(capacity), 0, capacity});
}

void PendingChanges::push(BacklinkIndex::Op kind, std::string_view target_collection,
                          std::uint32_t record_collection, std::uint64_t record_offset,
                          std::string_view target_key, std::string_view source_key, std::string_view source_path) {
  const std::uint32_t target = intern(target_collection);
  const std::size_t most = push_size(target_key, source_key, source_path);
  // Before the last chunk takes a change, the one before it may take more:
  // every change there still comes before all of the last chunk's.
  Chunk* fits = nullptr;
  if (chunks_.size() >= 2 && chunks_.back().used == 0) {
    Chunk& before = chunks_[chunks_.size() - 2];
    if (before.capacity - before.used >= most) fits = &before;
  }
  if (fits == nullptr) {
    reserve(most);
    fits = &chunks_.back();
  }
  Chunk& chunk = *fits;
  char* const start = chunk.bytes.get() + chunk.used;
  char* p = start;
  *p++ = static_cast<char>(static_cast<std::uint8_t>(kind));
  p = put_varint(p, target);
  p = put_varint(p, record_collection);
  p = put_varint(p, record_offset);
  for (std::string_view s : {target_key, source_key, source_path}) {
    p = put_varint(p, s.size());
    if (!s.empty()) std::memcpy(p, s.data(), s.size());
    p += s.size();
  }
  chunk.used += static_cast<std::size_t>(p - start);
  ++count_;
}

std::pair<PendingChanges::Change, std::size_t> PendingChanges::read(std::size_t chunk, std::size_t pos) const {
  const char* base = chunks_[chunk].bytes.get();
  std::size_t at = pos;
  Change change{};
  change.kind = static_cast<BacklinkIndex::Op>(static_cast<std::uint8_t>(base[at++]));
  change.target_collection = names_[static_cast<std::size_t>(get_varint(base, at))];
  change.record_collection = static_cast<std::uint32_t>(get_varint(base, at));
  change.record_offset = get_varint(base, at);
  for (std::string_view* s : {&change.target_key, &change.source_key, &change.source_path}) {
    const auto n = static_cast<std::size_t>(get_varint(base, at));
    *s = std::string_view(base + at, n);
    at += n;
  }
  return {change, at};
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
