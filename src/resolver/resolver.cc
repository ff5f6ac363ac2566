#include "resolver/resolver.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <forward_list>
#include <map>
#include <memory_resource>
#include <utility>
#include <vector>

#include "codec/codec.h"
#include "types/debug_string.h"

namespace brindle {

std::string ResolveError::to_string() const {
  switch (kind_) {
    case Kind::Storage:
      return "storage: " + std::get<StorageError>(payload_).to_string();
    case Kind::InvalidPath:
      return "invalid path: " + std::get<std::string>(payload_);
    case Kind::CyclicLink:
      return "cyclic link detected";
    case Kind::FieldNotFound:
      return "field not found";
  }
  return "unknown resolve error";
}

namespace {

constexpr std::string_view kSelf = "$self";
constexpr std::string_view kSelfField = "$self.";

// The keys named by "$self.<fields>" during one resolution, by field text and
// the nesting they were resolved at. Within one resolution the result depends
// on nothing else, so each is worked out once: without this, records whose
// hops each need the key of the next level redo every nested resolution per
// hop, and the work grows exponentially with the nesting.
using SelfKeyCache =
    std::map<std::pair<std::string, std::size_t>, std::expected<std::string, ResolveError>, std::less<>>;

// The root record of one resolution; the "$self" forms read it. Views of
// the caller's arguments, which outlive the resolution.
struct RootCtx {
  std::string_view root_collection;
  std::string_view root_key;
};

}  // namespace

// One walk down a path. The segments still to walk are kept as a stack
// (next segment last), so following a link pushes its extra pieces in front
// of the rest without copying the rest.
class Resolver::Walk {
 public:
  Walk(Database& db, const RootCtx& root, std::size_t self_nesting, SelfKeyCache& self_keys)
      : db_(db), root_(root), self_nesting_(self_nesting), self_keys_(self_keys) {}

  // Queues segments to be walked before those already queued; they must
  // outlive the walk.
  template <class Text>
  void push_front(std::span<const Text> segments) {
    const std::size_t needed = stack_.size() + segments.size();
    if (needed > stack_.capacity()) stack_.reserve(std::max(needed, 2 * stack_.capacity()));
    for (auto it = segments.rbegin(); it != segments.rend(); ++it) stack_.emplace_back(*it);
  }

  ResolveResult navigate(Value value, std::size_t depth) {
    for (;;) {
      if (stack_.empty() && !value.is<Link>()) return value;
      if (!stack_.empty()) {
        std::string_view segment = stack_.back();
        if (value.is<Null>() || value.is<Tombstone>()) return value;
        if (TextMap* map = value.get_if<TextMap>()) {
          stack_.pop_back();
          Value* field = map->find(segment);
          Value next = field ? std::move(*field) : Value();
          value = std::move(next);
          continue;
        }
        Link* link = value.get_if<Link>();
        if (link == nullptr) return std::unexpected(ResolveError::field_not_found());
        if (Value* local = link->local.find(segment)) {
          stack_.pop_back();
          Value next = std::move(*local);
          value = std::move(next);
          continue;
        }
      }
      // A link to follow: at the end of the path, or for a segment its
      // local map does not hold. follow_link bounds the hops; a dangling
      // link gives Null, which ends the walk.
      auto target = follow_link(*value.get_if<Link>(), depth);
      if (!target) return target;
      value = std::move(*target);
    }
  }

  // The walk of the queued segments from the root record.
  ResolveResult from_root() {
    std::size_t depth = 0;
    auto record = follow_chain(root_.root_collection, root_.root_key, depth, Missing::IsError);
    if (!record) return record;
    return navigate(std::move(*record), depth);
  }

 private:
  // What a first record that does not exist gives: Null at the end of a
  // link that dangles, an error for the root record.
  enum class Missing : bool { IsNull, IsError };

  // The record under (collection, key), or the field of it the walk asks
  // for next, followed on down a chain of plain links as follow_link
  // describes; depth counts the hops. A field is taken from a record that is
  // a map, its segment off the stack, as navigate() would take it; the
  // record's other fields are checked (the same bytes fail the same way)
  // but not built.
  ResolveResult follow_chain(std::string_view collection, std::string_view key, std::size_t& depth,
                             Missing missing) {
    auto failed = [&](StorageError error) -> ResolveResult {
      if (error.is_key_not_found() && missing == Missing::IsNull) return Value();
      return std::unexpected(ResolveError::storage(std::move(error)));
    };
    // A hop's collection and key point into the record read before it, so
    // the reads take turns between two buffers.
    std::array<Collection::ReadBuffer, 2> buffers;
    for (std::size_t turn = 0;; ++turn) {
      Collection::ReadBuffer& buffer = buffers[turn % 2];
      auto bytes = db_.get_encoded(collection, key, buffer);
      if (!bytes) return failed(std::move(bytes.error()));
      if (stack_.empty()) return whole(*bytes);
      auto entry = check_map_entry(*bytes, stack_.back());
      if (!entry) return failed(entry.error());
      if (!*entry) return whole(*bytes);
      stack_.pop_back();
      const auto next = plain_link_path(**entry);
      std::size_t slash = next ? next->find('/') : std::string_view::npos;
      if (slash == std::string_view::npos || next->find('/', slash + 1) != std::string_view::npos ||
          next->substr(slash + 1).starts_with(kSelf)) {
        // Anything else, and every key that starts with "$self" (a "$self"
        // form or not), goes back to navigate().
        auto value = build_map_entry(**entry);
        if (!value) return failed(value.error());
        return std::move(*value);
      }
      if (++depth > kMaxHops) return std::unexpected(ResolveError::cyclic_link());
      collection = next->substr(0, slash);
      key = next->substr(slash + 1);
      missing = Missing::IsNull;
    }
  }

  // Follows link, one more hop in depth, to its target record, or to the
  // field of it the walk asks for next. When that field is itself a plain
  // link "collection/key", which navigate() would follow at once (it has
  // no local fields), it is followed straight from the record's bytes,
  // and so on down the chain: the hops in between build no values.
  ResolveResult follow_link(const Link& link, std::size_t& depth) {
    if (++depth > kMaxHops) return std::unexpected(ResolveError::cyclic_link());
    // "collection/key[/field...]". Most links have no fields: their pieces
    // are read in place, as the link stays alive until its target is read.
    std::string_view path = link.path;
    const std::size_t after_collection = path.find('/');
    if (after_collection == std::string_view::npos) return std::unexpected(ResolveError::invalid_path(link.path));
    if (path.find('/', after_collection + 1) != std::string_view::npos) {
      // Field pieces go on the stack, which outlives the link: it is kept.
      path = owned_.emplace_front(link.path);
      std::vector<std::string_view> pieces = split(path, '/');
      push_front(std::span<const std::string_view>(pieces).subspan(2));
    }
    const std::string_view collection = path.substr(0, after_collection);
    std::string_view key_piece = path.substr(after_collection + 1);
    key_piece = key_piece.substr(0, key_piece.find('/'));

    std::string self_key;  // a key read from the root record
    std::string_view key = key_piece;
    if (key_piece == kSelf) {
      key = root_.root_key;
    } else if (key_piece.starts_with(kSelfField)) {
      auto resolved = self_field_key(key_piece.substr(kSelfField.size()));
      if (!resolved) return std::unexpected(std::move(resolved.error()));
      self_key = std::move(*resolved);
      key = self_key;
    }

    return follow_chain(collection, key, depth, Missing::IsNull);
  }

  // A record decoded whole: the end of the path, or no map.
  static ResolveResult whole(std::string_view bytes) {
    std::size_t pos = 0;
    auto value = decode(bytes, pos);
    if (!value) return std::unexpected(ResolveError::storage(value.error()));
    return std::move(*value);
  }

  // The key named by "$self.<fields>": the Text at that field path of the
  // root record, resolved as a walk of its own.
  std::expected<std::string, ResolveError> self_field_key(std::string_view fields) {
    std::pair<std::string, std::size_t> slot(fields, self_nesting_);
    if (auto known = self_keys_.find(slot); known != self_keys_.end()) return known->second;
    auto key = resolve_self_field_key(fields);
    self_keys_.emplace(std::move(slot), key);
    return key;
  }

  std::expected<std::string, ResolveError> resolve_self_field_key(std::string_view fields) {
    if (self_nesting_ + 1 > kMaxSelfNesting) return std::unexpected(ResolveError::cyclic_link());
    Walk inner(db_, root_, self_nesting_ + 1, self_keys_);
    const std::string& owned_fields = inner.owned_.emplace_front(fields);
    std::vector<std::string_view> names = split(owned_fields, '.');
    inner.push_front(std::span<const std::string_view>(names));
    auto found = inner.from_root();
    if (!found) return std::unexpected(std::move(found.error()));
    if (std::string* text = found->get_if<std::string>()) return std::move(*text);
    std::string detail(kSelfField);
    detail.append(fields);
    detail += " resolved to ";
    detail += debug_string(*found);
    detail += ", expected TEXT";
    return std::unexpected(ResolveError::invalid_path(std::move(detail)));
  }

  static std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> pieces;
    for (;;) {
      std::size_t at = text.find(separator);
      pieces.push_back(text.substr(0, at));
      if (at == std::string_view::npos) return pieces;
      text.remove_prefix(at + 1);
    }
  }

  Database& db_;
  const RootCtx& root_;
  std::size_t self_nesting_;
  SelfKeyCache& self_keys_;
  // The segments to walk; a short path's stay in the walk itself, spared
  // an allocation per resolution.
  std::array<std::byte, 16 * sizeof(std::string_view)> stack_memory_;
  std::pmr::monotonic_buffer_resource stack_arena_{stack_memory_.data(), stack_memory_.size()};
  std::pmr::vector<std::string_view> stack_{&stack_arena_};
  // Texts the stack points into; a list, as its strings must not move, and
  // it allocates nothing until used.
  std::forward_list<std::string> owned_;
};

ResolveResult Resolver::get_field(std::string_view collection, std::string_view key,
                                  std::span<const std::string> path) {
  RootCtx root{collection, key};
  SelfKeyCache self_keys;
  Walk walk(db_, root, 0, self_keys);
  walk.push_front(path);
  return walk.from_root();
}

}  // namespace brindle
