#include "backlinks/backlink_index.h"

#include <fcntl.h>

#include <algorithm>
#include <utility>

#include "codec/framing.h"
#include "types/utf8.h"

namespace brindle {

std::expected<BacklinkIndex, IoError> BacklinkIndex::open(std::string path) {
  auto file = File::open_store_file(path, O_RDWR | O_APPEND);
  if (!file) return std::unexpected(file.error());
  auto length = file->size();
  if (!length) return std::unexpected(length.error());
  BacklinkIndex index(std::move(path), std::move(*file));
  if (auto replayed = index.replay(*length); !replayed) return std::unexpected(replayed.error());
  index.file_length_ = *length;
  return index;
}

std::expected<void, IoError> BacklinkIndex::replay(std::uint64_t length) {
  FileWindow window(file_, length);
  std::uint64_t at = 0;
  auto read_string = [&](std::string& out) -> std::expected<void, IoError> {
    if (length - at < 4) return std::unexpected(IoError::unexpected_eof());
    auto head = window.view(at, 4);
    if (!head) return std::unexpected(head.error());
    const std::uint32_t n = load_u32(*head);
    at += 4;
    if (length - at < n) return std::unexpected(IoError::unexpected_eof());
    auto body = window.view(at, n);
    if (!body) return std::unexpected(body.error());
    std::string_view bytes(*body, n);
    at += n;
    if (!is_valid_utf8(bytes)) return std::unexpected(IoError::invalid_data("invalid utf8 in backlink"));
    out.assign(bytes);
    return {};
  };

  std::string target_key;
  while (at < length) {
    auto op_byte = window.view(at, 1);
    if (!op_byte) return std::unexpected(op_byte.error());
    const auto op = static_cast<std::uint8_t>(**op_byte);
    at += 1;
    BacklinkEntry entry;
    for (std::string* field : {&target_key, &entry.source_collection, &entry.source_key, &entry.source_path}) {
      if (auto r = read_string(*field); !r) return r;
    }
    if (op == static_cast<std::uint8_t>(Op::Add) || op == static_cast<std::uint8_t>(Op::Remove)) {
      apply(static_cast<Op>(op), target_key, std::move(entry));
    }
  }
  return {};
}

void BacklinkIndex::apply(Op op, std::string_view target_key, BacklinkEntry&& entry) {
  auto it = entries_.find(target_key);
  if (op == Op::Add) {
    if (it == entries_.end()) it = entries_.emplace(std::string(target_key), std::vector<BacklinkEntry>{}).first;
    it->second.push_back(std::move(entry));
    return;
  }
  if (it == entries_.end()) return;
  std::erase(it->second, entry);
}

std::expected<void, IoError> BacklinkIndex::write_record(Op op, std::string_view target_key,
                                                        const BacklinkEntry& entry) {
  if (broken_) return std::unexpected(*broken_);
  for (std::string_view s : {target_key, std::string_view(entry.source_collection),
                             std::string_view(entry.source_key), std::string_view(entry.source_path)}) {
    if (s.size() > kMaxLength) return std::unexpected(IoError::invalid_input("backlink string too long"));
  }
  scratch_.clear();
  scratch_.push_back(static_cast<char>(op));
  append_string(scratch_, target_key);
  append_string(scratch_, entry.source_collection);
  append_string(scratch_, entry.source_key);
  append_string(scratch_, entry.source_path);

  // All or nothing, so the file stays on a record boundary; when it cannot
  // be cut back, later appends are refused rather than misframed by replay.
  const std::string_view pieces[] = {scratch_};
  bool torn = false;
  auto appended = file_.append(pieces, file_length_, torn);
  if (torn) broken_ = appended.error();
  if (!appended) return appended;
  file_length_ += scratch_.size();
  return {};
}

std::expected<void, IoError> BacklinkIndex::add(std::string_view target_key, BacklinkEntry entry) {
  if (auto r = write_record(Op::Add, target_key, entry); !r) return r;
  apply(Op::Add, target_key, std::move(entry));
  return {};
}

std::expected<void, IoError> BacklinkIndex::remove(std::string_view target_key, const BacklinkEntry& entry) {
  if (auto r = write_record(Op::Remove, target_key, entry); !r) return r;
  auto it = entries_.find(target_key);
  if (it != entries_.end()) std::erase(it->second, entry);
  return {};
}

const std::vector<BacklinkEntry>* BacklinkIndex::find(std::string_view target_key) const {
  auto it = entries_.find(target_key);
  return it == entries_.end() ? nullptr : &it->second;
}

}  // namespace brindle
