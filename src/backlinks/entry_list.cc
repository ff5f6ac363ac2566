#include "backlinks/entry_list.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <utility>

#include "types/hash.h"
#include "types/short_bytes.h"
#include "types/varint.h"

namespace brindle {

namespace {

constexpr char kRemoved = 1;

}  // namespace

EntryList::View EntryList::parse(const char* p, std::size_t at) noexcept {
  View v;
  v.removed = (p[at++] & kRemoved) != 0;
  v.collection = static_cast<std::uint32_t>(get_varint(p, at));
  const auto key_len = static_cast<std::size_t>(get_varint(p, at));
  const auto path_len = static_cast<std::size_t>(get_varint(p, at));
  v.key = std::string_view(p + at, key_len);
  v.path = std::string_view(p + at + key_len, path_len);
  v.next = at + key_len + path_len;
  return v;
}

std::uint64_t EntryList::hash_of(std::uint32_t collection, std::string_view key, std::string_view path) {
  // Seeded per process: the entries come from files and callers.
  const std::uint64_t seed = process_hash_seed();
  const std::uint64_t h = hash_bytes(key, seed ^ collection);
  return hash_bytes(path, h ^ (key.size() * 0x9e3779b97f4a7c15ULL));
}

std::size_t EntryList::encode_head(char* head, std::uint32_t collection, std::size_t key_size,
                                   std::size_t path_size) noexcept {
  char* end = head;
  *end++ = '\0';
  end = put_varint(end, collection);
  end = put_varint(end, key_size);
  end = put_varint(end, path_size);
  return static_cast<std::size_t>(end - head);
}

EntryList::Decoded EntryList::decode(std::string_view encoded) noexcept {
  const View v = parse(encoded.data(), 0);
  return Decoded{v.collection, v.key, v.path};
}

char* EntryList::encode_to(char* out, std::uint32_t collection, std::string_view key,
                           std::string_view path) noexcept {
  out += encode_head(out, collection, key.size(), path.size());
  copy_bytes(out, key.data(), key.size());
  copy_bytes(out + key.size(), path.data(), path.size());
  return out + key.size() + path.size();
}

void EntryList::add(std::uint32_t collection, std::string_view key, std::string_view path) {
  const std::size_t at = bytes_.size();
  char head[kMaxHead];
  const std::size_t head_size = encode_head(head, collection, key.size(), path.size());
  // resize_and_overwrite grows to the exact size asked for; reserving first
  // keeps growth doubling (from the exact size, so small lists stay small).
  // The entry is then written in place in one go.
  const std::size_t needed = at + head_size + key.size() + path.size();
  if (needed > bytes_.capacity()) bytes_.reserve(std::max(needed, 2 * bytes_.capacity()));
  bytes_.resize_and_overwrite(needed, [&](char* p, std::size_t n) {
    p += at;
    std::memcpy(p, head, head_size);
    copy_bytes(p + head_size, key.data(), key.size());
    copy_bytes(p + head_size + key.size(), path.data(), path.size());
    return n;
  });
  ++live_;
  ++entries_;
  if (positions_) positions_->insert(hash_of(collection, key, path), at);
}

void EntryList::append_encoded(std::string_view encoded) {
  const std::size_t at = bytes_.size();
  const std::size_t needed = at + encoded.size();
  if (needed > bytes_.capacity()) bytes_.reserve(std::max(needed, 2 * bytes_.capacity()));
  bytes_.resize_and_overwrite(needed, [&](char* p, std::size_t n) {
    copy_bytes(p + at, encoded.data(), encoded.size());
    return n;
  });
  ++live_;
  ++entries_;
  if (positions_) {
    const Decoded d = decode(encoded);
    positions_->insert(hash_of(d.collection, d.key, d.path), at);
  }
}

EntryList::Positions::Positions(std::size_t expected) { rebuild(expected); }

void EntryList::Positions::rebuild(std::size_t live) {
  std::size_t size = 64;
  while (size < 2 * live) size *= 2;
  std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(size));
  shift_ = 64 - std::countr_zero(size);
  used_ = 0;
  live_ = 0;
  for (const Slot& slot : old) {
    if (slot.at != kEmpty && slot.at != kGone) insert(slot.hash, static_cast<std::size_t>(slot.at));
  }
}

void EntryList::Positions::insert(std::uint64_t hash, std::size_t at) {
  // At most three quarters full, tombstones included, so probes end.
  if (4 * (used_ + 1) > 3 * slots_.size()) rebuild(live_ + 1);
  std::size_t i = home(hash);
  // A tombstone is taken over: an entry added and removed over and over
  // would otherwise lengthen its probe run each time. Lookups run on to an
  // empty slot, so they still see what lies past it.
  while (slots_[i].at != kEmpty && slots_[i].at != kGone) i = (i + 1) & (slots_.size() - 1);
  if (slots_[i].at == kEmpty) ++used_;
  slots_[i] = Slot{hash, at};
  ++live_;
}

void EntryList::build_positions() {
  positions_ = std::make_unique<Positions>(live_);
  for (std::size_t at = 0; at < bytes_.size();) {
    const View v = view(at);
    if (!v.removed) positions_->insert(hash_of(v.collection, v.key, v.path), at);
    at = v.next;
  }
}

void EntryList::remove_all(std::uint32_t collection, std::string_view key, std::string_view path) {
  if (live_ == 0) return;
  if (!positions_ && entries_ > kScanLimit) build_positions();
  auto matches = [&](const View& v) {
    return !v.removed && v.collection == collection && v.key == key && v.path == path;
  };
  std::size_t removed = 0;
  if (positions_) {
    // Equal entries share the hash, so all of them are found under it; other
    // entries that merely collide stay.
    positions_->erase_if(hash_of(collection, key, path), [&](std::size_t at) {
      if (!matches(view(at))) return false;
      bytes_[at] |= kRemoved;
      ++removed;
      return true;
    });
  } else {
    for (std::size_t at = 0; at < bytes_.size();) {
      const View v = view(at);
      if (matches(v)) {
        bytes_[at] |= kRemoved;
        ++removed;
      }
      at = v.next;
    }
  }
  live_ -= removed;
  if (removed > 0 && entries_ - live_ > live_) compact();
}

void EntryList::compact() {
  std::string bytes;
  for (std::size_t at = 0; at < bytes_.size();) {
    const View v = view(at);
    if (!v.removed) bytes.append(bytes_, at, v.next - at);
    at = v.next;
  }
  bytes_ = std::move(bytes);
  entries_ = live_;
  positions_.reset();
  if (entries_ > kScanLimit) build_positions();
}

}  // namespace brindle
