#include "storage/collection.h"

#include <fcntl.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "codec/codec.h"
#include "codec/framing.h"
#include "storage/holds_link.h"
#include "storage/record_scan.h"
#include "types/utf8.h"

namespace brindle {

Collection::Collection(std::string path, File reader, File writer, std::uint64_t length)
    : path_(std::move(path)),
      reader_(std::move(reader)),
      writer_(std::move(writer)),
      file_length_(length),
      write_offset_(length) {}

StorageResult<Collection> Collection::open(std::string path) {
  // Only makes sure the file exists; the handles below never create it.
  // Non-blocking, so that a FIFO named like a data file fails instead of
  // waiting for a reader forever.
  if (auto created = File::open(path, O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK, 0666); !created) {
    return storage_failure(created.error());
  }
  auto reader = File::open(path, O_RDONLY);
  if (!reader) return storage_failure(reader.error());
  auto writer = File::open(path, O_WRONLY | O_APPEND);
  if (!writer) return storage_failure(writer.error());
  auto length = writer->size();
  if (!length) return storage_failure(length.error());

  Collection collection(std::move(path), std::move(*reader), std::move(*writer), *length);
  if (auto replayed = collection.replay(); !replayed) return storage_failure(replayed.error());
  collection.buffer_.reserve(kWriteBufferSize);
  return collection;
}

StorageResult<void> Collection::replay() {
  auto scanned = scan_records(reader_, file_length_, false, [this](const RecordView& record) {
    if (record.value_length > 0 && record.type_byte == kTombstoneTypeByte) {
      index_.erase(record.key);
    } else {
      index_.put(record.key, record.offset, true);
    }
    return true;
  });
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
  if (writer_.is_open() && !buffer_.empty() && !broken_) (void)write_buffer_out();
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

StorageResult<Value> Collection::get(std::string_view key) const {
  const auto found = index_.find(key);
  if (!found) return storage_failure(KeyNotFound{});
  const std::uint64_t record = found->record;

  // One read usually covers the header, the key and a small value.
  char head[512];
  auto got = read_upto(record, head, sizeof head);
  if (!got) return storage_failure(got.error());
  if (*got < 4) return storage_failure(IoError::unexpected_eof());
  const std::uint64_t key_len = load_u32(head);
  std::uint32_t value_len;
  if (*got >= key_len + 8) {
    value_len = load_u32(head + key_len + 4);
  } else {
    char len[4];
    if (auto r = read_exact(record + 4 + key_len, len, 4); !r) return storage_failure(r.error());
    value_len = load_u32(len);
  }
  const std::uint64_t value_start = key_len + 8;
  std::string spill;
  std::string_view body;
  if (*got >= value_start + value_len) {
    body = std::string_view(head + value_start, value_len);
  } else {
    spill.resize(value_len);
    if (auto r = read_exact(record + value_start, spill.data(), value_len); !r) return storage_failure(r.error());
    body = spill;
  }
  std::size_t pos = 0;
  auto value = decode(body, pos);
  if (!value) return storage_failure(value.error());
  return std::move(*value);
}

StorageResult<void> Collection::write_buffer_out() {
  std::size_t written = 0;
  auto result = writer_.write_all(buffer_, written);
  buffer_.erase(0, written);
  file_length_ += written;
  if (!result) return storage_failure(result.error());
  return {};
}

StorageResult<void> Collection::append_piece(std::string_view piece) {
  if (piece.size() > kWriteBufferSize - buffer_.size()) {
    if (auto r = write_buffer_out(); !r) return r;
  }
  if (piece.size() >= kWriteBufferSize) {
    std::size_t written = 0;
    auto result = writer_.write_all(piece, written);
    file_length_ += written;
    if (!result) return storage_failure(result.error());
    return {};
  }
  buffer_.append(piece);
  return {};
}

void Collection::discard_partial_record(std::uint64_t record_start) {
  if (file_length_ <= record_start) {
    buffer_.resize(static_cast<std::size_t>(record_start - file_length_));
    return;
  }
  // Part of the record reached the file; everything before it did too.
  buffer_.clear();
  if (auto cut = writer_.truncate(record_start); !cut) {
    broken_ = cut.error();
    return;
  }
  file_length_ = record_start;
}

StorageResult<void> Collection::set(std::string_view key, const Value& value) {
  if (broken_) return storage_failure(*broken_);
  if (key.size() > kMaxLength) return storage_failure(IoError::invalid_input("key too long"));
  scratch_.clear();
  EncodeStatus status = encode(value, scratch_);
  if (status == EncodeStatus::Ok && scratch_.size() > kMaxLength) status = EncodeStatus::TooLong;
  if (status != EncodeStatus::Ok) {
    scratch_.clear();
    scratch_.shrink_to_fit();
    return storage_failure(IoError::invalid_input(status == EncodeStatus::TooDeep ? "value is nested too deeply"
                                                                                  : "value too long"));
  }

  const std::uint64_t record = write_offset_;
  char key_len[4];
  char value_len[4];
  store_u32(key_len, static_cast<std::uint32_t>(key.size()));
  store_u32(value_len, static_cast<std::uint32_t>(scratch_.size()));
  for (std::string_view piece : {std::string_view(key_len, 4), key, std::string_view(value_len, 4),
                                 std::string_view(scratch_)}) {
    if (auto r = append_piece(piece); !r) {
      discard_partial_record(record);
      return r;
    }
  }
  write_offset_ = record + 8 + key.size() + scratch_.size();
  // Huge values would otherwise pin their encoding's memory.
  if (scratch_.capacity() > 4 * kWriteBufferSize) {
    scratch_.clear();
    scratch_.shrink_to_fit();
  }

  if (value.is<Tombstone>()) {
    index_.erase(key);
  } else {
    index_.put(key, record, holds_link(value));
  }

  if (defer_flush_) return {};
  return flush();
}

StorageResult<void> Collection::flush() {
  if (buffer_.empty()) return {};
  return write_buffer_out();
}

}  // namespace brindle
