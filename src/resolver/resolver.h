// Resolution of a field path from a root record, following links.
//
// From the root record's value the path is walked one segment at a time:
// a map steps into its field (a missing field reads as Null); a link first
// looks in its local map (local fields shadow the target's and cost no hop)
// and otherwise is followed to its target record; Null and Tombstone end the
// walk with themselves; any other value has no fields ("field not found").
// A walk never ends on a link: a link in last position is followed.
//
// Link target paths are "collection/key[/field...]": the extra pieces are
// walked inside the target before the caller's remaining segments. The key
// "$self" is the root record's key; "$self.a.b" resolves the field path a.b
// against the root record and uses the Text found there as the key. A
// dangling link reads as Null.
//
// Bounds: one chain passes through at most kMaxHops links, and "$self."
// resolutions nest at most kMaxSelfNesting deep; past either the result is
// "cyclic link detected". The walk is a loop, not a recursion, so a path of
// any length resolves without growing the stack. Within one resolution each
// "$self." key is worked out once per nesting level and then reused, so
// links that need the same key again cost one lookup each.
#pragma once

#include <cstddef>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "db/database.h"
#include "storage/storage_error.h"
#include "types/value.h"

namespace brindle {

class ResolveError {
 public:
  enum class Kind : std::uint8_t { Storage, InvalidPath, CyclicLink, FieldNotFound };

  static ResolveError storage(StorageError error) { return ResolveError(std::move(error)); }
  static ResolveError invalid_path(std::string detail) { return ResolveError(Kind::InvalidPath, std::move(detail)); }
  static ResolveError cyclic_link() { return ResolveError(Kind::CyclicLink, {}); }
  static ResolveError field_not_found() { return ResolveError(Kind::FieldNotFound, {}); }

  Kind kind() const noexcept { return kind_; }
  std::string to_string() const;

 private:
  explicit ResolveError(StorageError error) : kind_(Kind::Storage), payload_(std::move(error)) {}
  ResolveError(Kind kind, std::string detail) : kind_(kind), payload_(std::move(detail)) {}
  Kind kind_;
  std::variant<std::string, StorageError> payload_;
};

using ResolveResult = std::expected<Value, ResolveError>;

class Resolver {
 public:
  static constexpr std::size_t kMaxHops = 32;
  static constexpr std::size_t kMaxSelfNesting = 32;

  // *db must remain live, and not be used by anyone else, while this
  // Resolver is in use.
  explicit Resolver(Database& db) : db_(db) {}

  ResolveResult get_field(std::string_view collection, std::string_view key,
                          std::span<const std::string> path);

 private:
  class Walk;
  friend class Walk;

  Database& db_;
};

}  // namespace brindle
