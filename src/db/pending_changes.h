// The backlink changes a transaction queues until commit, held compactly.
//
// Each change is a run of bytes in a chunked arena, in queue order:
//
//   u8 op | target collection id | record collection id | record offset |
//   target key | source key | source path
//
// the ids and the offset varints, the three strings each a varint length
// and their bytes. Target collection names are interned here; the record
// collection id is the caller's (the source collection of the entry is the
// collection the record sits in). A typical change takes about thirty bytes
// instead of a struct of strings.
//
// Chunks are fixed-size, so growing the queue never copies what is queued
// and peak memory stays close to what the changes take; a chunk is given
// back once the front of the queue has moved past it. A change larger than
// a chunk gets a chunk of its own.
//
// Strings are at most kMaxLength bytes: every string of a change comes from a
// record that was encoded, and an encoding longer than that is refused first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "backlinks/backlink_index.h"
#include "types/hash.h"

namespace brindle {

class PendingChanges {
 public:
  PendingChanges() = default;
  // A queue moved from is empty: a database moved from must find nothing
  // to apply when it is destroyed.
  PendingChanges(PendingChanges&& other) noexcept;
  PendingChanges& operator=(PendingChanges&&) = delete;

  // A queued change, as views into the queue: valid until it next changes.
  struct Change {
    BacklinkIndex::Op kind;
    std::string_view target_collection;
    std::uint32_t record_collection;
    std::uint64_t record_offset;
    std::string_view target_key;
    std::string_view source_key;
    std::string_view source_path;
  };

  void push(BacklinkIndex::Op kind, std::string_view target_collection, std::uint32_t record_collection,
            std::uint64_t record_offset, std::string_view target_key, std::string_view source_key,
            std::string_view source_path);

  // The most bytes a push of these strings takes.
  static std::size_t push_size(std::string_view target_key, std::string_view source_key,
                               std::string_view source_path) noexcept;
  // Makes the next pushes, of push_size `bytes` in all and into target
  // collections named here first, allocate nothing: a writer makes room
  // before its record is placed, so that the record never stays without its
  // changes queued.
  void reserve(std::size_t bytes);
  void name(std::string_view target_collection) { (void)intern(target_collection); }
  bool empty() const noexcept { return count_ == 0; }
  std::size_t size() const noexcept { return count_; }

  // The oldest change; the queue must not be empty.
  Change front() const { return read(front_chunk_, front_pos_).first; }
  void pop_front();

  // Calls f(change) for every change, front to back.
  template <class F>
  void for_each(F&& f) const {
    for_each_while([&f](const Change& change) {
      f(change);
      return true;
    });
  }

  // Calls f(change) front to back until it returns false.
  template <class F>
  void for_each_while(F&& f) const {
    std::size_t chunk = front_chunk_;
    std::size_t pos = front_pos_;
    for (std::size_t i = 0; i < count_; ++i) {
      auto [change, next] = read(chunk, pos);
      if (!f(change)) return;
      advance(chunk, pos, next);
    }
  }

 private:
  static constexpr std::size_t kChunkSize = 64 * 1024;

  struct Chunk {
    std::unique_ptr<char[]> bytes;
    std::size_t used = 0;
    std::size_t capacity = 0;
  };

  // The change at (chunk, pos) and the position right after it.
  std::pair<Change, std::size_t> read(std::size_t chunk, std::size_t pos) const;
  // Moves (chunk, pos) to next, or to the start of the next chunk when next
  // is the end of this one.
  void advance(std::size_t& chunk, std::size_t& pos, std::size_t next) const;
  std::uint32_t intern(std::string_view name);

  std::deque<Chunk> chunks_;  // chunks_[0] is the one the front lies in
  std::size_t front_chunk_ = 0;  // always 0 once pop_front has given chunks back
  std::size_t front_pos_ = 0;
  std::size_t count_ = 0;
  std::deque<std::string> names_;  // by id; a deque keeps views into them valid
  std::unordered_map<std::string, std::uint32_t, TextHash, std::equal_to<>> name_ids_;
};

}  // namespace brindle
