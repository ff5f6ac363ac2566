#include "backlinks/collect_links.h"

#include <charconv>
#include <string_view>

namespace brindle {

namespace {

// Walks with one growing path string; each descent appends a segment and
// cuts it off again on the way back.
class LinkCollector {
 public:
  explicit LinkCollector(std::vector<LinkRef>& out) : out_(out) {}

  void start(std::span<const std::string> segments) {
    for (const std::string& segment : segments) push(segment);
  }

  void start_at(std::string_view path, bool root) {
    path_.assign(path);
    segments_ = root ? 0 : 1;
  }

  void scan(const Value& value) {
    if (const Array* array = value.get_if<Array>()) {
      for (std::size_t i = 0; i < array->size(); ++i) {
        char digits[24];
        auto res = std::to_chars(digits, digits + sizeof digits, i);
        std::size_t mark = push(std::string_view(digits, static_cast<std::size_t>(res.ptr - digits)));
        scan((*array)[i]);
        pop(mark);
      }
    } else if (const TextMap* map = value.get_if<TextMap>()) {
      scan_map(*map);
    } else if (const Link* link = value.get_if<Link>()) {
      scan_link(*link);
    }
  }

  void scan_link(const Link& link) {
    record(link.path);
    scan_map(link.local);
  }

 private:
  // Appends a segment; returns the path length to restore with pop().
  std::size_t push(std::string_view segment) {
    std::size_t mark = path_.size();
    if (segments_ > 0) path_.push_back('/');
    path_.append(segment);
    ++segments_;
    return mark;
  }

  void pop(std::size_t mark) {
    path_.resize(mark);
    --segments_;
  }

  void scan_map(const TextMap& map) {
    for (const MapEntry& entry : map) {
      std::size_t mark = push(entry.key);
      scan(entry.value);
      pop(mark);
    }
  }

  void record(std::string_view path) {
    std::size_t slash = path.find('/');
    if (slash == std::string_view::npos || slash == 0) return;
    std::string_view rest = path.substr(slash + 1);
    std::string_view key = rest.substr(0, rest.find('/'));
    if (!key.empty() && key.front() == '$') return;
    out_.push_back(LinkRef{std::string(path.substr(0, slash)), std::string(key), path_});
  }

  std::vector<LinkRef>& out_;
  std::string path_;
  std::size_t segments_ = 0;
};

}  // namespace

void collect_links(const Value& value, std::span<const std::string> segments, std::vector<LinkRef>& out) {
  LinkCollector collector(out);
  collector.start(segments);
  collector.scan(value);
}

void collect_links(const Link& link, std::string_view path, bool root, std::vector<LinkRef>& out) {
  LinkCollector collector(out);
  collector.start_at(path, root);
  collector.scan_link(link);
}

}  // namespace brindle
