// One collection: an append-only data file plus an in-memory key index.
//
// File format. A plain sequence of records, no header or trailer:
//
//   u32 K | K bytes of key (UTF-8) | u32 V | V bytes: one encoded value
//
// all little-endian; the next record starts right after. A record whose value
// is Tombstone (the single type byte 0x0C) deletes its key. For every key the
// last record in the file decides. Records are never modified; the file only
// grows.
//
// Invariants:
//  - every offset in the index is the start of a whole record for that key,
//    either in the file or still in the write buffer;
//  - write_offset() == file length + bytes in the write buffer;
//  - records are placed whole or not at all, and the index points at a
//    record only once it is placed: a set() that fails leaves no trace of its
//    record in the index, the buffer or the file;
//  - every write is all or nothing: one that fails part-way is cut back to
//    the file's length before it, so the file ends on a record boundary as
//    far as this process wrote it, and the buffered records that were to go
//    out with it stay buffered for the next flush. A record too large for
//    the buffer goes out together with the buffered bytes in one call.
//  - get() checks that the record it reads carries the key asked for
//    ("record does not match its key" otherwise).
//
// Replay at open reads only headers, keys and type bytes; value bodies are
// decoded on demand by get(). Records still in the write buffer are served
// from the buffer; small records read from the file are kept in a cache of
// bounded size (RecordCache), so a value is kept in memory only there and
// while its bytes wait to be written.
//
// Replay treats the file as hostile: every length is checked against the
// bytes left before anything is allocated, and a file whose last record runs
// past its end refuses to open with "failed to fill whole buffer". A record
// with V = 0 has no type byte: it is indexed as a value (get() then fails
// with "codec: unexpected end of buffer") and the next record is framed at
// R + 8 + K.
//
// Not thread-safe: callers serialise all calls (the database keeps each
// collection behind its own mutex).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "codec/codec.h"
#include "storage/file.h"
#include "storage/key_index.h"
#include "storage/record_cache.h"
#include "storage/storage_error.h"
#include "types/hash.h"
#include "types/value.h"

namespace brindle {

class Collection {
 public:
  static constexpr std::size_t kWriteBufferSize = 65536;

  enum class Access { ReadWrite, ReadOnly };

  // Opens the data file at path, creating it empty when missing (mode 0666
  // less the umask), and replays it. ReadOnly opens an existing file for
  // reading only, so that a file the caller may not write can be read; such
  // a collection must not be written.
  static StorageResult<Collection> open(std::string path, Access access = Access::ReadWrite);

  Collection(Collection&&) noexcept = default;
  Collection& operator=(Collection&&) = delete;
  // Writes out the buffer (errors ignored) and closes the files. In a child
  // made by fork the buffer is the parent's copy: it is dropped, not
  // written, so the parent's records are not stored twice.
  ~Collection();

  // The current value of key: KeyNotFound for absent and deleted keys, Io
  // when the record cannot be read, Codec when it does not decode.
  StorageResult<Value> get(std::string_view key) const;

  // Where get_encoded() puts the record it reads: a value that fits the
  // first read stays in head, a larger one is read into spill.
  struct ReadBuffer {
    char head[512];
    std::string spill;
  };
  // The encoded bytes of key's current value, with get()'s checks (the
  // record must carry the key) and errors, less decoding: the caller decodes
  // them. The view points into buffer.
  StorageResult<std::string_view> get_encoded(std::string_view key, ReadBuffer& buffer) const;

  // A hint: asks the processor to fetch key's place in the index, for a read
  // or write of key that comes soon. Changes nothing.
  void prefetch(std::string_view key) const noexcept { index_.prefetch(KeyIndex::hash(key)); }
  // Whether prefetch() pays for itself (see KeyIndex::outgrows_caches).
  bool index_outgrows_caches() const noexcept { return index_.outgrows_caches(); }

  // False when key's current value is known to hold no Link (or the key is
  // absent), so its links need not be read. Values replayed at open are not
  // inspected and count as holding links.
  bool may_hold_links(std::string_view key) const noexcept {
    auto found = index_.find(key);
    return found && found->flag;
  }

  // Appends a record at write_offset(); Tombstone deletes the key. Unless
  // defer_flush is set the buffer is written out before returning. Keys and
  // encodings longer than a 32-bit length, and values nested too deeply, are
  // refused with Io before anything is written. On failure nothing changed.
  StorageResult<void> set(std::string_view key, const Value& value);

  // A value its writer has already encoded.
  struct EncodedValue {
    std::string_view bytes;  // what encode() gives for the value
    // Anything but Ok refuses the write (after the key's own checks), as
    // that status from encode() would.
    EncodeStatus status = EncodeStatus::Ok;
    // Whether the value holds a Link anywhere (see may_hold_links); true
    // when unsure.
    bool may_hold_links = true;
  };
  // set() for a value already encoded, with the same checks in the same order.
  StorageResult<void> set(std::string_view key, const EncodedValue& value);
  // Encodes value into out, as set() would.
  static EncodedValue encode_value(const Value& value, std::string& out);
  // Why set() refuses key and value whatever the file holds (a key or value
  // too long to frame, a refusing status), for callers that must refuse
  // before they create anything.
  static std::optional<IoError> refusal(std::string_view key, const EncodedValue& value);

  // Writes out the write buffer, all of it or (on failure) none.
  StorageResult<void> flush();

  // Whether the record that starts at offset has reached the file (as
  // opposed to waiting in the buffer).
  bool in_file(std::uint64_t offset) const noexcept { return offset < file_length_; }

  bool defer_flush() const noexcept { return defer_flush_; }
  void set_defer_flush(bool defer) noexcept { defer_flush_ = defer; }

  const std::string& path() const noexcept { return path_; }
  std::uint64_t write_offset() const noexcept { return write_offset_; }
  std::size_t live_keys() const noexcept { return index_.size(); }
  // Bytes written by set() that have not yet reached the file.
  std::size_t buffered_bytes() const noexcept { return buffer_.size(); }

 private:
  Collection(std::string path, File reader, File writer, std::uint64_t length);

  StorageResult<void> replay();
  // The u32 key and value lengths around the key.
  static constexpr std::size_t kLengthSize = 4;
  static constexpr std::size_t kHeaderSize = 2 * kLengthSize;
  // Encoding scratch larger than this is given back after use.
  static constexpr std::size_t kScratchKeepLimit = 4 * kWriteBufferSize;

  // Copies up to n bytes at offset from the file and the write buffer.
  StorageResult<std::size_t> read_upto(std::uint64_t offset, char* dst, std::size_t n) const;
  StorageResult<void> read_exact(std::uint64_t offset, char* dst, std::size_t n) const;
  // get_encoded() for the record at `record`, which must hold key; the
  // record cache is asked under cache_hash, a hash of key.
  StorageResult<std::string_view> read_keyed(std::uint64_t record, std::string_view key, std::uint32_t cache_hash,
                                             ReadBuffer& buffer) const;
  // Appends the pieces to the file, all or nothing.
  StorageResult<void> write_out(std::span<const std::string_view> pieces);

  std::string path_;
  File reader_;
  File writer_;
  KeyIndex index_;
  // Records read before; get() serves them without a read.
  mutable RecordCache cache_;
  std::string buffer_;
  std::string scratch_;  // reused for encoding, so set() does not allocate
  std::uint64_t file_length_;   // bytes known to be in the file
  std::uint64_t write_offset_;  // file_length_ + buffer_.size()
  bool defer_flush_ = false;
  pid_t owner_;  // the process that opened it
  // Set when a failed write could not be cut back; the file's tail is then
  // unknown and every later write is refused with this error.
  std::optional<IoError> broken_;
};

}  // namespace brindle
