// The JSON form of values, used by dump, load and the command line.
//
// The mapping is lossless and one-to-one, so a dump loaded and dumped again
// is the same text byte for byte:
//
//   Null          null
//   Bool          true / false
//   Int           an integer literal (no point, no exponent)
//   Float         a number with a point or an exponent, the shortest text
//                 that reads back to the same double ("1.0", "-0.0",
//                 "1e+16"); non-finite values as {"$float": "nan"},
//                 {"$float": "inf"}, {"$float": "-inf"}, and a NaN with any
//                 other bit pattern as {"$float": "nan:0x<16 hex digits>"}
//   Text          a string
//   Blob          {"$bytes": "<standard base64>"}
//   Date/Time     {"$date": n}, {"$time": n} (unsigned 32-bit)
//   DateTime      {"$datetime": n} (unsigned 64-bit)
//   Array         an array
//   Map           an object in the map's order; a map whose first key starts
//                 with "$" is wrapped as {"$map": {...}}, whose object is
//                 taken literally
//   Link          {"$link": "<path>"} or {"$link": "<path>", "local": {...}}
//                 when the local map is not empty (taken literally, like
//                 "$map")
//   Tombstone     {"$tombstone": null}
//
// On reading, an object whose first key starts with "$" must be one of the
// tagged forms above; anything else is an error. Parsing treats the text as
// hostile: nesting is bounded by kMaxNesting and every error names what was
// wrong.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "tools/tool_result.h"
#include "types/value.h"

namespace brindle::tools {

// Appends the JSON form of value to out.
void write_json(const Value& value, std::string& out);

// Appends text as a JSON string (quotes included).
void write_json_string(std::string_view text, std::string& out);
// The text as one JSON string, quotes included: a name in a message, where
// its control bytes (a newline, a terminal's escape) must not act.
std::string json_quoted(std::string_view text);

// A JSON parser over one buffer. Each read_* call skips leading white space.
class JsonReader {
 public:
  explicit JsonReader(std::string_view text) : text_(text) {}

  ToolResult<Value> read_value();
  ToolResult<std::string> read_string();
  // Consumes c (after white space) or fails.
  ToolResult<void> expect(char c);
  // Consumes c when it is next (after white space).
  bool accept(char c);
  // True when only white space is left.
  bool at_end();

 private:
  ToolResult<Value> value_at(std::size_t depth);
  ToolResult<Value> number();
  ToolResult<Value> object_at(std::size_t depth);
  ToolResult<TextMap> members_at(std::size_t depth);
  ToolResult<Value> tagged(std::string tag, std::size_t depth);
  void skip_space();
  std::unexpected<std::string> fail(std::string_view what) const;

  std::string_view text_;
  std::size_t pos_ = 0;
};

}  // namespace brindle::tools
