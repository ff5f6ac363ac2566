// The error type of the operating tools: a message for a person, naming the
// file and what went wrong. Only the Python layer turns it into an exception.
#pragma once

#include <expected>
#include <string>

namespace brindle::tools {

template <class T>
using ToolResult = std::expected<T, std::string>;

inline std::unexpected<std::string> tool_failure(std::string message) {
  return std::unexpected(std::move(message));
}

}  // namespace brindle::tools
