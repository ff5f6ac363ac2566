#include "storage/storage_error.h"

#include <cstring>

namespace brindle {

std::string IoError::to_string() const {
  if (kind_ != Kind::Os) return message_;
  char buf[256];
  // GNU strerror_r may return a static string instead of filling buf.
  const char* text = strerror_r(os_code_, buf, sizeof buf);
  return std::string(text) + " (os error " + std::to_string(os_code_) + ")";
}

std::string StorageError::to_string() const {
  if (const IoError* e = io()) return "io: " + e->to_string();
  if (const CodecError* e = codec()) return "codec: " + e->to_string();
  return "key not found";
}

}  // namespace brindle
