#include "storage/collection.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "codec/codec.h"
#include "codec/framing.h"
#include "storage/holds_link.h"
#include "storage/record_scan.h"
#include "types/short_bytes.h"
#include "types/utf8.h"

namespace brindle {

namespace {

IoError record_mismatch() { return IoError::invalid_data("record does not match its key"); }

IoError file_too_large() { return IoError::invalid_input("data file too large"); }

}  // namespace

Collection::Collection(std::string path, File reader, File writer, std::uint64_t length)
    : path_(std::move(path)),
      reader_(std::move(reader)),
      writer_(std::move(writer)),
      file_length_(length),
      write_offset_(length),
      owner_(::getpid()) {}

StorageResult<Collection> Collection::open(std::string path, Access access) {
  // The write handle first, so that a FIFO named like a data file fails with
  // ENXIO instead of being opened for reading.
  File writer;
  if (access == Access::ReadWrite) {
    auto opened = File::open_store_file(path, O_WRONLY | O_APPEND);
    if (!opened) return storage_failure(opened.error());
    writer = std::move(*opened);
  }
  auto reader = File::open_store_file(path, O_RDONLY, access == Access::ReadWrite);
  if (!reader) return storage_failure(reader.error());
  auto length = reader->size();
  if (!length) return storage_failure(length.error());

  Collection collection(std::move(path), std::move(*reader), std::move(writer), *length);
  if (auto replayed = collection.replay(); !replayed) return storage_failure(replayed.error());
  collection.buffer_.reserve(kWriteBufferSize);
  return collection;
}

StorageResult<void> Collection::replay() {
  if (file_length_ > KeyIndex::kRecordLimit) return storage_failure(file_too_large());
  KeyIndex::Loader loader(index_, file_length_);
  auto scanned = scan_records(reader_, file_length_, false, [&loader](const RecordView& record) {
    if (record.value_length > 0 && record.type_byte == kTombstoneTypeByte) {
      loader.erase(record.key);
    } else {
      loader.put(record.key, record.offset, true);
    }
    return true;
  });
  loader.finish();
  if (!scanned) return storage_failure(scanned.error());
  switch (scanned->stop) {
    case ScanStop::Torn:
      return storage_failure(IoError::unexpected_eof());
    case ScanStop::BadKey:
      return storage_failure(IoError::invalid_data("invalid utf8 key"));
    case ScanStop::End:
    case ScanStop::Stopped:
      break;
  }
  return {};
}

Collection::~Collection() {
  if (writer_.is_open() && owner_ == ::getpid()) (void)flush();
}

StorageResult<std::size_t> Collection::read_upto(std::uint64_t offset, char* dst, std::size_t n) const {
  std::size_t done = 0;
  if (offset < file_length_) {
    std::size_t from_file = static_cast<std::size_t>(std::min<std::uint64_t>(n, file_length_ - offset));
    auto got = reader_.read_at(dst, from_file, offset);
    if (!got) return storage_failure(got.error());
    done = *got;
    if (done < from_file) return done;  // the file is shorter than we wrote
  }
  std::uint64_t at = offset + done;
  if (done < n && at >= file_length_ && at - file_length_ < buffer_.size()) {
    std::size_t in_buffer = static_cast<std::size_t>(at - file_length_);
    std::size_t take = std::min(n - done, buffer_.size() - in_buffer);
    std::memcpy(dst + done, buffer_.data() + in_buffer, take);
    done += take;
  }
  return done;
}

StorageResult<void> Collection::read_exact(std::uint64_t offset, char* dst, std::size_t n) const {
  auto got = read_upto(offset, dst, n);
  if (!got) return storage_failure(got.error());
  if (*got < n) return storage_failure(IoError::unexpected_eof());
  return {};
}

StorageResult<std::string_view> Collection::get_encoded(std::string_view key, ReadBuffer& buffer) const {
  // The index is asked by hash alone first: the record read next carries its
  // key, so comparing there spares a look into the index's key bytes, which
  // on a large index is a cache miss per get. This trusts the file's bytes
  // as the rest of the read path does (the cache serves bytes read before):
  // if another program rewrote the file, an absent key sharing a present
  // key's 39 hash bits could be answered from what now lies at its offset.
  const std::uint64_t h = KeyIndex::hash(key);
  // The cache's slot for the key is fetched while the index is searched.
  const auto cache_hash = static_cast<std::uint32_t>(h);
  cache_.prefetch(cache_hash);
  const auto guess = index_.find_by_hash(h);
  if (!guess) return storage_failure(KeyNotFound{});
  auto read = read_keyed(guess->record, key, cache_hash, buffer);
  if (read) return read;
  // The record holds another key, or could not be read: the answer is then
  // the entry that matches key's bytes. Another key sharing the hash bits
  // may have come first in the probe run; an entry of key's own that is the
  // same record keeps this read's error.
  const auto found = index_.find(key, h);
  if (!found) return storage_failure(KeyNotFound{});
  if (found->record == guess->record) return read;
  return read_keyed(found->record, key, cache_hash, buffer);
}

StorageResult<std::string_view> Collection::read_keyed(std::uint64_t record, std::string_view key,
                                                       std::uint32_t cache_hash, ReadBuffer& buffer) const {
  // One read usually covers the header, the key and a small value; a
  // record read before takes none.
  char* const head = buffer.head;
  StorageResult<std::size_t> got;
  const auto cached = cache_.find(record, cache_hash);
  if (cached) {
    std::memcpy(head, cached->data(), cached->size());
    got = cached->size();
  } else {
    got = read_upto(record, head, sizeof buffer.head);
  }
  if (!got) return storage_failure(got.error());
  if (*got < kLengthSize) return storage_failure(IoError::unexpected_eof());
  // The stored key must be the one asked for: an index that points elsewhere
  // must not answer with another key's record.
  auto mismatch = [] { return storage_failure(record_mismatch()); };
  const std::uint64_t key_len = load_u32(head);
  if (key_len != key.size()) return mismatch();
  if (*got >= kLengthSize + key_len) {
    if (!equal_bytes(head + kLengthSize, key.data(), key.size())) return mismatch();
  } else {
    std::string stored(key.size(), '\0');
    if (auto r = read_exact(record + kLengthSize, stored.data(), stored.size()); !r) return storage_failure(r.error());
    if (stored != key) return mismatch();
  }
  std::uint32_t value_len;
  if (*got >= key_len + kHeaderSize) {
    value_len = load_u32(head + kLengthSize + key_len);
  } else {
    char len[kLengthSize];
    if (auto r = read_exact(record + kLengthSize + key_len, len, kLengthSize); !r) return storage_failure(r.error());
    value_len = load_u32(len);
  }
  const std::uint64_t value_start = key_len + kHeaderSize;
  if (*got >= value_start + value_len) {
    // Only bytes from the file: the write buffer is memory already, and
    // only the file's bytes are known never to change.
    if (!cached && in_file(record) && record + value_start + value_len <= file_length_) {
      cache_.insert(record, cache_hash, std::string_view(head, value_start + value_len));
    }
    return std::string_view(head + value_start, value_len);
  }
  // A length from the file is trusted no further than the bytes this
  // collection knows of, so damage cannot ask for gigabytes.
  if (record + value_start + value_len > write_offset_) return storage_failure(IoError::unexpected_eof());
  buffer.spill.resize(value_len);
  if (auto r = read_exact(record + value_start, buffer.spill.data(), value_len); !r) {
    return storage_failure(r.error());
  }
  return std::string_view(buffer.spill);
}

StorageResult<Value> Collection::get(std::string_view key) const {
  ReadBuffer buffer;
  auto body = get_encoded(key, buffer);
  if (!body) return storage_failure(body.error());
  std::size_t pos = 0;
  auto value = decode(*body, pos);
  if (!value) return storage_failure(value.error());
  return std::move(*value);
}

StorageResult<void> Collection::write_out(std::span<const std::string_view> pieces) {
  bool torn = false;
  auto appended = writer_.append(pieces, file_length_, torn);
  if (torn) broken_ = appended.error();
  if (!appended) return storage_failure(appended.error());
  for (std::string_view piece : pieces) file_length_ += piece.size();
  return {};
}

Collection::EncodedValue Collection::encode_value(const Value& value, std::string& out) {
  const EncodeStatus status = encode(value, out);
  // holds_link recurses: only values the encoder accepted are bounded.
  return EncodedValue{out, status, status == EncodeStatus::Ok && holds_link(value)};
}

std::optional<IoError> Collection::refusal(std::string_view key, const EncodedValue& value) {
  if (key.size() > kMaxLength) return IoError::invalid_input("key too long");
  EncodeStatus status = value.status;
  if (status == EncodeStatus::Ok && value.bytes.size() > kMaxLength) status = EncodeStatus::TooLong;
  if (status == EncodeStatus::Ok) return std::nullopt;
  return IoError::invalid_input(status == EncodeStatus::TooDeep ? CodecError::too_deep().to_string()
                                                                : "value too long");
}

StorageResult<void> Collection::set(std::string_view key, const Value& value) {
  scratch_.clear();
  const EncodedValue encoded = encode_value(value, scratch_);
  auto placed = set(key, encoded);
  // A refused value leaves a partial encoding; huge values would otherwise
  // pin their encoding's memory.
  if (encoded.status != EncodeStatus::Ok || scratch_.capacity() > kScratchKeepLimit) {
    scratch_.clear();
    scratch_.shrink_to_fit();
  }
  return placed;
}

StorageResult<void> Collection::set(std::string_view key, const EncodedValue& value) {
  if (broken_) return storage_failure(*broken_);
  if (auto refused = refusal(key, value)) return storage_failure(*refused);

  const std::uint64_t record = write_offset_;
  if (record >= KeyIndex::kRecordLimit) return storage_failure(file_too_large());
  const std::uint64_t record_size = kHeaderSize + key.size() + value.bytes.size();
  char key_len[kLengthSize];
  char value_len[kLengthSize];
  store_u32(key_len, static_cast<std::uint32_t>(key.size()));
  store_u32(value_len, static_cast<std::uint32_t>(value.bytes.size()));
  const std::string_view pieces[] = {std::string_view(key_len, kLengthSize), key,
                                     std::string_view(value_len, kLengthSize), value.bytes};
  // The index takes the key without allocating once the record is placed:
  // running out of memory there would raise for a record already in the
  // file, which the next open would read back.
  const bool tombstone = value.bytes.size() == 1 && static_cast<std::uint8_t>(value.bytes[0]) == kTombstoneTypeByte;
  if (!tombstone) index_.reserve_for(key);

  // The record is placed whole, in the buffer or in the file, or not at all;
  // one that does not fit the buffer goes out together with it, in one call.
  if (record_size > kWriteBufferSize - buffer_.size()) {
    const std::string_view out[] = {buffer_, pieces[0], pieces[1], pieces[2], pieces[3]};
    if (auto r = write_out(out); !r) return r;
    buffer_.clear();
  } else {
    const std::size_t before = buffer_.size();
    for (std::string_view piece : pieces) buffer_.append(piece);
    if (!defer_flush_) {
      if (auto r = flush(); !r) {
        buffer_.resize(before);
        return r;
      }
    }
  }
  write_offset_ = record + record_size;

  // Only now that the record is placed may the index point at it. A
  // Tombstone is the one value whose encoding is its type byte alone.
  if (tombstone) {
    index_.erase(key);
  } else {
    index_.put(key, record, value.may_hold_links);
  }
  return {};
}

StorageResult<void> Collection::flush() {
  if (broken_) return storage_failure(*broken_);
  if (buffer_.empty()) return {};
  const std::string_view out[] = {buffer_};
  if (auto r = write_out(out); !r) return r;
  buffer_.clear();
  return {};
}

}  // namespace brindle
