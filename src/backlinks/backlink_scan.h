// One pass over a backlink index file, record by record.
//
// Every reader of the .brl framing goes through scan_backlinks: the replay at
// open, the framing check before open, and the operating tools. It reads in
// large chunks and hands each whole record to a visitor as views, so a scan
// allocates nothing per record.
//
// Record framing: op byte | target key | source collection | source key |
// source path, each string a u32 length and that many bytes. The strings are
// checked in order, each first for fitting in the file (else the record is
// torn) and then for being UTF-8 (else the record is bad). Op values other
// than add and remove are handed to the visitor like any other.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <string_view>

#include "storage/file.h"
#include "storage/record_scan.h"
#include "storage/storage_error.h"

namespace brindle {

struct BacklinkRecordView {
  std::uint64_t offset;
  std::uint8_t op;
  std::string_view target_key;
  std::string_view source_collection;
  std::string_view source_key;
  std::string_view source_path;
  std::string_view bytes;  // the whole record, op byte first; the strings lie inside it
};

// Return false from the visitor to stop the scan. ScanStop::BadKey stands
// for a string that is not UTF-8.
using BacklinkVisitor = std::function<bool(const BacklinkRecordView&)>;

// Frames from `start`, which must be a record boundary.
std::expected<ScanOutcome, IoError> scan_backlinks(const File& file, std::uint64_t length,
                                                   const BacklinkVisitor& visit, std::uint64_t start = 0);

}  // namespace brindle
