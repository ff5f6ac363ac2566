// One pass over a collection data file, record by record.
//
// Every reader of the .brd framing goes through scan_records: the replay at
// open, the framing check before open, and the operating tools. It reads the
// file in large chunks through a FileWindow and hands each whole record to a
// visitor as views into the window, so a scan allocates nothing per record.
//
// Record framing: u32 K | K key bytes | u32 V | V value bytes. The checks are
// made in a fixed order, so every caller reports the same damage the same way:
//   1. the key length field and the key (plus the value length field) fit in
//      the file, else the record is torn;
//   2. a value with V > 0 has its type byte in the file, else torn;
//   3. the key is UTF-8, else the record is bad (not torn: a cut write never
//      changes the bytes it did write);
//   4. the value body fits in the file, else torn.
// A record with V = 0 has no type byte; it is reported with type byte 0 and
// an empty value, and the next record is framed at R + 8 + K.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <string_view>

#include "storage/file.h"
#include "storage/storage_error.h"

namespace brindle {

struct RecordView {
  std::uint64_t offset;      // of the key length field
  std::string_view key;
  std::uint32_t value_length;
  std::uint8_t type_byte;    // first value byte; 0 when value_length is 0
  std::string_view value;    // the whole value, only when values are asked for
  std::uint64_t end() const noexcept { return offset + 8 + key.size() + value_length; }
};

enum class ScanStop : std::uint8_t {
  End,      // every byte of the file belongs to a whole record
  Torn,     // the record at `at` runs past the end of the file
  BadKey,   // the record at `at` has a key that is not UTF-8
  Stopped,  // the visitor asked to stop after the record ending at `at`
};

struct ScanOutcome {
  ScanStop stop;
  std::uint64_t at;      // end of the last whole record visited (Torn/BadKey: that record's start)
  std::uint64_t length;  // the length scanned
};

// Return false from the visitor to stop the scan.
using RecordVisitor = std::function<bool(const RecordView&)>;

// Scans the first `length` bytes of file, framing from `start`, which must
// be a record boundary (or the scan frames garbage). With want_values,
// RecordView::value holds each value's bytes (a value larger than the window
// grows it for that record); otherwise value bodies are skipped unread. Read
// errors come back as IoError.
std::expected<ScanOutcome, IoError> scan_records(const File& file, std::uint64_t length, bool want_values,
                                                 const RecordVisitor& visit, std::uint64_t start = 0);

}  // namespace brindle
