#include "backlinks/backlink_scan.h"

#include <array>

#include "codec/framing.h"
#include "types/utf8.h"

namespace brindle {

std::expected<ScanOutcome, IoError> scan_backlinks(const File& file, std::uint64_t length,
                                                   const BacklinkVisitor& visit, std::uint64_t start) {
  FileWindow window(file, length);
  std::uint64_t record = start;
  auto stop = [&](ScanStop why) { return ScanOutcome{why, record, length}; };
  while (record < length) {
    // Most records lie whole in the window: frame them straight from it. A
    // record that does not is framed again below, which gives the verdict
    // for cut records.
    const std::string_view held = window.held(record);
    if (held.size() >= 17) {
      std::array<std::string_view, 4> strings;
      std::size_t pos = 1;
      std::size_t whole = 0;
      for (; whole < strings.size(); ++whole) {
        if (held.size() - pos < 4) break;
        const std::uint32_t n = load_u32(held.data() + pos);
        if (held.size() - pos - 4 < n) break;
        strings[whole] = std::string_view(held.data() + pos + 4, n);
        pos += 4 + n;
      }
      if (whole == strings.size()) {
        for (std::string_view text : strings) {
          if (!is_valid_utf8(text)) return stop(ScanStop::BadKey);
        }
        const BacklinkRecordView view{record,     static_cast<std::uint8_t>(held[0]),
                                      strings[0], strings[1],
                                      strings[2], strings[3],
                                      std::string_view(held.data(), pos)};
        record += pos;
        if (!visit(view)) return stop(ScanStop::Stopped);
        continue;
      }
    }
    // First find the record's extent, string by string.
    std::array<std::uint32_t, 4> lengths{};
    std::uint64_t at = record + 1;
    std::size_t whole = 0;  // strings that fit in the file
    for (; whole < lengths.size(); ++whole) {
      if (length - at < 4) break;
      auto head = window.view(at, 4);
      if (!head) return std::unexpected(head.error());
      lengths[whole] = load_u32(*head);
      if (length - at - 4 < lengths[whole]) break;
      at += 4 + lengths[whole];
    }
    // Then view it once and check the strings that fit, in order, so a bad
    // string before the cut is reported as bad.
    auto bytes = window.view(record, static_cast<std::size_t>(at - record));
    if (!bytes) return std::unexpected(bytes.error());
    std::array<std::string_view, 4> strings{};
    std::size_t pos = 1;
    for (std::size_t i = 0; i < whole; ++i) {
      strings[i] = std::string_view(*bytes + pos + 4, lengths[i]);
      if (!is_valid_utf8(strings[i])) return stop(ScanStop::BadKey);
      pos += 4 + lengths[i];
    }
    if (whole < lengths.size()) return stop(ScanStop::Torn);
    BacklinkRecordView view{record,     static_cast<std::uint8_t>(**bytes),
                            strings[0], strings[1],
                            strings[2], strings[3],
                            std::string_view(*bytes, static_cast<std::size_t>(at - record))};
    record = at;
    if (!visit(view)) return stop(ScanStop::Stopped);
  }
  return stop(ScanStop::End);
}

}  // namespace brindle
