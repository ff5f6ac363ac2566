#include "storage/record_scan.h"

#include "codec/framing.h"
#include "types/utf8.h"

namespace brindle {

std::expected<ScanOutcome, IoError> scan_records(const File& file, std::uint64_t length, bool want_values,
                                                 const RecordVisitor& visit, std::uint64_t start) {
  FileWindow window(file, length);
  std::uint64_t record = start;
  auto stop = [&](ScanStop why) { return ScanOutcome{why, record, length}; };
  while (record < length) {
    // Most records lie whole in the window: frame them straight from it,
    // with the checks in the order below. A record that does not is framed
    // again below, which gives the verdict for cut records.
    const std::string_view held = window.held(record);
    if (held.size() >= 8) {
      const std::uint64_t key_len = load_u32(held.data());
      if (held.size() - 8 >= key_len) {
        const std::uint32_t value_len = load_u32(held.data() + 4 + key_len);
        const std::uint64_t span = 8 + key_len + (want_values ? value_len : (value_len > 0 ? 1 : 0));
        if (held.size() >= span) {
          // The span is in the file, so the type byte is, and with values
          // asked for the whole value is.
          const std::string_view key(held.data() + 4, static_cast<std::size_t>(key_len));
          if (!is_valid_utf8(key)) return stop(ScanStop::BadKey);
          const std::uint64_t value_start = record + 8 + key_len;
          if (length - value_start < value_len) return stop(ScanStop::Torn);
          const RecordView view{
              record, key, value_len,
              value_len > 0 ? static_cast<std::uint8_t>(held[8 + key_len]) : std::uint8_t{0},
              want_values ? std::string_view(held.data() + 8 + key_len, value_len) : std::string_view()};
          record = value_start + value_len;
          if (!visit(view)) return stop(ScanStop::Stopped);
          continue;
        }
      }
    }
    const std::uint64_t left = length - record;
    if (left < 4) return stop(ScanStop::Torn);
    auto head = window.view(record, 4);
    if (!head) return std::unexpected(head.error());
    const std::uint64_t key_len = load_u32(*head);
    if (left - 4 < key_len + 4) return stop(ScanStop::Torn);
    auto key_and_len = window.view(record + 4, static_cast<std::size_t>(key_len) + 4);
    if (!key_and_len) return std::unexpected(key_and_len.error());
    const std::uint32_t value_len = load_u32(*key_and_len + key_len);
    const std::uint64_t value_start = record + 8 + key_len;
    if (value_len > 0 && value_start >= length) return stop(ScanStop::Torn);
    const bool value_fits = length - value_start >= value_len;
    // One view covers the record (or its head when values are skipped), so
    // the key and the value stay valid together.
    const std::size_t span = static_cast<std::size_t>(
        8 + key_len + (want_values && value_fits ? value_len : (value_len > 0 ? 1 : 0)));
    auto bytes = window.view(record, span);
    if (!bytes) return std::unexpected(bytes.error());
    std::string_view key(*bytes + 4, static_cast<std::size_t>(key_len));
    if (!is_valid_utf8(key)) return stop(ScanStop::BadKey);
    if (!value_fits) return stop(ScanStop::Torn);
    RecordView view{record, key, value_len,
                    value_len > 0 ? static_cast<std::uint8_t>((*bytes)[8 + key_len]) : std::uint8_t{0},
                    want_values ? std::string_view(*bytes + 8 + key_len, value_len) : std::string_view()};
    record = value_start + value_len;
    if (!visit(view)) return stop(ScanStop::Stopped);
  }
  return stop(ScanStop::End);
}

}  // namespace brindle
