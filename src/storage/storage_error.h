// The error of every storage and database operation.
//
// Display texts reach Python unchanged, so they are fixed:
//   Io           "io: " + the I/O error's text
//   Codec        "codec: " + the codec error's text
//   KeyNotFound  "key not found"
// An I/O error made by the store itself carries its own message ("failed to
// fill whole buffer", "invalid utf8 key"); one from the operating system reads
// "<strerror text> (os error N)".
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <utility>
#include <variant>

#include "codec/codec.h"

namespace brindle {

class IoError {
 public:
  enum class Kind : std::uint8_t {
    Os,             // errno from the system; no message of our own
    UnexpectedEof,  // a read met the end of the file
    InvalidData,    // bytes from a file that break its format
    InvalidInput,   // an argument the store refuses
    WriteZero,      // a write that accepted no bytes
  };

  static IoError from_errno(int code) { return IoError(Kind::Os, code, {}); }
  static IoError unexpected_eof() { return IoError(Kind::UnexpectedEof, 0, "failed to fill whole buffer"); }
  static IoError write_zero() { return IoError(Kind::WriteZero, 0, "failed to write whole buffer"); }
  static IoError invalid_data(std::string message) {
    return IoError(Kind::InvalidData, 0, std::move(message));
  }
  static IoError invalid_input(std::string message) {
    return IoError(Kind::InvalidInput, 0, std::move(message));
  }

  Kind kind() const noexcept { return kind_; }
  std::string to_string() const;

 private:
  IoError(Kind kind, int code, std::string message)
      : kind_(kind), os_code_(code), message_(std::move(message)) {}
  Kind kind_;
  int os_code_;
  std::string message_;
};

struct KeyNotFound {};

class StorageError {
 public:
  StorageError(IoError io) : error_(std::move(io)) {}
  StorageError(CodecError codec) : error_(codec) {}
  StorageError(KeyNotFound missing) : error_(missing) {}

  bool is_io() const noexcept { return std::holds_alternative<IoError>(error_); }
  bool is_codec() const noexcept { return std::holds_alternative<CodecError>(error_); }
  bool is_key_not_found() const noexcept { return std::holds_alternative<KeyNotFound>(error_); }
  const IoError* io() const noexcept { return std::get_if<IoError>(&error_); }
  const CodecError* codec() const noexcept { return std::get_if<CodecError>(&error_); }

  std::string to_string() const;

 private:
  std::variant<IoError, CodecError, KeyNotFound> error_;
};

template <class T>
using StorageResult = std::expected<T, StorageError>;

// Shorthand for returning an error from a function of StorageResult type.
inline std::unexpected<StorageError> storage_failure(StorageError error) {
  return std::unexpected(std::move(error));
}

}  // namespace brindle
