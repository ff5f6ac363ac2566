#include "tools/json_value.h"

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>

#include "types/utf8.h"

namespace brindle::tools {

namespace {

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::uint64_t kQuietNan = 0x7ff8000000000000ULL;

void write_base64(std::string_view bytes, std::string& out) {
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    std::uint32_t n = (std::uint8_t(bytes[i]) << 16) | (std::uint8_t(bytes[i + 1]) << 8) | std::uint8_t(bytes[i + 2]);
    out += {kBase64[n >> 18], kBase64[(n >> 12) & 63], kBase64[(n >> 6) & 63], kBase64[n & 63]};
  }
  if (std::size_t rest = bytes.size() - i; rest > 0) {
    std::uint32_t n = std::uint8_t(bytes[i]) << 16;
    if (rest == 2) n |= std::uint8_t(bytes[i + 1]) << 8;
    out += {kBase64[n >> 18], kBase64[(n >> 12) & 63], rest == 2 ? kBase64[(n >> 6) & 63] : '=', '='};
  }
}

int base64_digit(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Strict standard base64 with padding, so every blob has one text form.
bool read_base64(std::string_view text, std::string& out) {
  if (text.size() % 4 != 0) return false;
  out.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    int d[4];
    int pad = 0;
    for (int j = 0; j < 4; ++j) {
      char c = text[i + j];
      if (c == '=' && last && j >= 2) {
        d[j] = 0;
        ++pad;
        continue;
      }
      if (pad > 0) return false;
      d[j] = base64_digit(c);
      if (d[j] < 0) return false;
    }
    std::uint32_t n = (d[0] << 18) | (d[1] << 12) | (d[2] << 6) | d[3];
    out.push_back(static_cast<char>(n >> 16));
    if (pad < 2) out.push_back(static_cast<char>((n >> 8) & 255));
    if (pad < 1) out.push_back(static_cast<char>(n & 255));
    // Bits the padding drops must be zero, or two texts would give one blob.
    if ((pad == 1 && (d[2] & 3) != 0) || (pad == 2 && (d[1] & 15) != 0)) return false;
  }
  return true;
}

template <class N>
void append_number(N n, std::string& out) {
  char buf[32];
  auto end = std::to_chars(buf, buf + sizeof buf, n).ptr;
  out.append(buf, end);
}

void write_float(double d, std::string& out) {
  if (std::isnan(d)) {
    const auto bits = std::bit_cast<std::uint64_t>(d);
    if (bits == kQuietNan) {
      out += R"({"$float":"nan"})";
      return;
    }
    char hex[16];
    const char* end = std::to_chars(hex, hex + sizeof hex, bits, 16).ptr;
    std::string_view digits(hex, static_cast<std::size_t>(end - hex));
    out += R"({"$float":"nan:0x)";
    out.append(16 - digits.size(), '0');
    out += digits;
    out += "\"}";
    return;
  }
  if (std::isinf(d)) {
    out += d > 0 ? R"({"$float":"inf"})" : R"({"$float":"-inf"})";
    return;
  }
  const std::size_t start = out.size();
  append_number(d, out);
  // An integral double prints without a point; add one so it reads back as a float.
  if (out.find_first_of(".e", start) == std::string::npos) out += ".0";
}

void write_map_body(const TextMap& map, std::string& out) {
  out.push_back('{');
  bool first = true;
  for (const MapEntry& entry : map) {
    if (!first) out.push_back(',');
    first = false;
    write_json_string(entry.key, out);
    out.push_back(':');
    write_json(entry.value, out);
  }
  out.push_back('}');
}

template <class... F>
struct Overload : F... {
  using F::operator()...;
};

}  // namespace

std::string json_quoted(std::string_view text) {
  std::string out;
  write_json_string(text, out);
  return out;
}

void write_json_string(std::string_view text, std::string& out) {
  out.push_back('"');
  for (char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          constexpr char hex[] = "0123456789abcdef";
          out += "\\u00";
          out.push_back(hex[(c >> 4) & 15]);
          out.push_back(hex[c & 15]);
        } else {
          out.push_back(c);
        }
    }
  }
  out.push_back('"');
}

void write_json(const Value& value, std::string& out) {
  std::visit(Overload{
                 [&](const Null&) { out += "null"; },
                 [&](const Tombstone&) { out += R"({"$tombstone":null})"; },
                 [&](bool b) { out += b ? "true" : "false"; },
                 [&](std::int64_t i) { append_number(i, out); },
                 [&](double d) { write_float(d, out); },
                 [&](const std::string& s) { write_json_string(s, out); },
                 [&](const Blob& b) {
                   out += R"({"$bytes":")";
                   write_base64(b.bytes, out);
                   out += "\"}";
                 },
                 [&](const Date& d) {
                   out += R"({"$date":)";
                   append_number(d.value, out);
                   out.push_back('}');
                 },
                 [&](const Time& t) {
                   out += R"({"$time":)";
                   append_number(t.value, out);
                   out.push_back('}');
                 },
                 [&](const DateTime& t) {
                   out += R"({"$datetime":)";
                   append_number(t.value, out);
                   out.push_back('}');
                 },
                 [&](const Array& a) {
                   out.push_back('[');
                   for (std::size_t i = 0; i < a.size(); ++i) {
                     if (i > 0) out.push_back(',');
                     write_json(a[i], out);
                   }
                   out.push_back(']');
                 },
                 [&](const TextMap& m) {
                   const bool wrap = !m.empty() && m.begin()->key.starts_with('$');
                   if (wrap) out += R"({"$map":)";
                   write_map_body(m, out);
                   if (wrap) out.push_back('}');
                 },
                 [&](const Link& l) {
                   out += R"({"$link":)";
                   write_json_string(l.path, out);
                   if (!l.local.empty()) {
                     out += R"(,"local":)";
                     write_map_body(l.local, out);
                   }
                   out.push_back('}');
                 },
             },
             value.data());
}

std::unexpected<std::string> JsonReader::fail(std::string_view what) const {
  return tool_failure("invalid JSON at character " + std::to_string(pos_ + 1) + ": " + std::string(what));
}

void JsonReader::skip_space() {
  while (pos_ < text_.size() &&
         (text_[pos_] == ' ' || text_[pos_] == '\t' || text_[pos_] == '\n' || text_[pos_] == '\r')) {
    ++pos_;
  }
}

bool JsonReader::accept(char c) {
  skip_space();
  if (pos_ < text_.size() && text_[pos_] == c) {
    ++pos_;
    return true;
  }
  return false;
}

ToolResult<void> JsonReader::expect(char c) {
  if (accept(c)) return {};
  return fail(std::string("expected '") + c + "'");
}

bool JsonReader::at_end() {
  skip_space();
  return pos_ == text_.size();
}

ToolResult<Value> JsonReader::read_value() { return value_at(0); }

ToolResult<std::string> JsonReader::read_string() {
  skip_space();
  if (pos_ >= text_.size() || text_[pos_] != '"') return fail("expected a string");
  ++pos_;
  std::string out;
  for (;;) {
    // Copy the plain run up to the next quote, backslash or control byte.
    std::size_t run = pos_;
    while (run < text_.size() && text_[run] != '"' && text_[run] != '\\' &&
           static_cast<unsigned char>(text_[run]) >= 0x20) {
      ++run;
    }
    out.append(text_.substr(pos_, run - pos_));
    pos_ = run;
    if (pos_ >= text_.size()) return fail("unterminated string");
    char c = text_[pos_++];
    if (c == '"') break;
    if (c != '\\') return fail("control character in string");
    if (pos_ >= text_.size()) return fail("unterminated string");
    char e = text_[pos_++];
    switch (e) {
      case '"': out.push_back('"'); break;
      case '\\': out.push_back('\\'); break;
      case '/': out.push_back('/'); break;
      case 'b': out.push_back('\b'); break;
      case 'f': out.push_back('\f'); break;
      case 'n': out.push_back('\n'); break;
      case 'r': out.push_back('\r'); break;
      case 't': out.push_back('\t'); break;
      case 'u': {
        auto hex4 = [&](std::uint32_t& v) {
          if (text_.size() - pos_ < 4) return false;
          auto r = std::from_chars(text_.data() + pos_, text_.data() + pos_ + 4, v, 16);
          if (r.ptr != text_.data() + pos_ + 4) return false;
          pos_ += 4;
          return true;
        };
        std::uint32_t cp = 0;
        if (!hex4(cp)) return fail("bad \\u escape");
        if (cp >= 0xDC00 && cp <= 0xDFFF) return fail("unpaired surrogate");
        if (cp >= 0xD800 && cp <= 0xDBFF) {
          std::uint32_t low = 0;
          if (text_.substr(pos_, 2) != "\\u") return fail("unpaired surrogate");
          pos_ += 2;
          if (!hex4(low) || low < 0xDC00 || low > 0xDFFF) return fail("unpaired surrogate");
          cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        }
        if (cp < 0x80) {
          out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
          out += {static_cast<char>(0xC0 | (cp >> 6)), static_cast<char>(0x80 | (cp & 63))};
        } else if (cp < 0x10000) {
          out += {static_cast<char>(0xE0 | (cp >> 12)), static_cast<char>(0x80 | ((cp >> 6) & 63)),
                  static_cast<char>(0x80 | (cp & 63))};
        } else {
          out += {static_cast<char>(0xF0 | (cp >> 18)), static_cast<char>(0x80 | ((cp >> 12) & 63)),
                  static_cast<char>(0x80 | ((cp >> 6) & 63)), static_cast<char>(0x80 | (cp & 63))};
        }
        break;
      }
      default:
        return fail("bad escape");
    }
  }
  if (!is_valid_utf8(out)) return fail("string is not UTF-8");
  return out;
}

ToolResult<Value> JsonReader::number() {
  const std::size_t start = pos_;
  if (pos_ < text_.size() && text_[pos_] == '-') ++pos_;
  auto digits = [&] {
    std::size_t from = pos_;
    while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') ++pos_;
    return pos_ - from;
  };
  const std::size_t int_start = pos_;
  std::size_t n = digits();
  if (n == 0 || (n > 1 && text_[int_start] == '0')) return fail("bad number");
  bool is_float = false;
  if (pos_ < text_.size() && text_[pos_] == '.') {
    ++pos_;
    if (digits() == 0) return fail("bad number");
    is_float = true;
  }
  if (pos_ < text_.size() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
    ++pos_;
    if (pos_ < text_.size() && (text_[pos_] == '+' || text_[pos_] == '-')) ++pos_;
    if (digits() == 0) return fail("bad number");
    is_float = true;
  }
  const char* first = text_.data() + start;
  const char* last = text_.data() + pos_;
  if (is_float) {
    double d = 0;
    auto r = std::from_chars(first, last, d);
    if (r.ec != std::errc() || r.ptr != last) return fail("number out of range");
    return Value(d);
  }
  std::int64_t i = 0;
  auto r = std::from_chars(first, last, i);
  if (r.ec != std::errc() || r.ptr != last) return fail("integer out of the 64-bit range");
  return Value(i);
}

ToolResult<TextMap> JsonReader::members_at(std::size_t depth) {
  if (auto r = expect('{'); !r) return std::unexpected(r.error());
  TextMap map;
  if (accept('}')) return map;
  do {
    auto key = read_string();
    if (!key) return std::unexpected(key.error());
    if (auto r = expect(':'); !r) return std::unexpected(r.error());
    auto value = value_at(depth);
    if (!value) return std::unexpected(value.error());
    if (map.find(*key) != nullptr) return fail("duplicate key");
    map.insert_or_assign(std::move(*key), std::move(*value));
  } while (accept(','));
  if (auto r = expect('}'); !r) return std::unexpected(r.error());
  return map;
}

ToolResult<Value> JsonReader::tagged(std::string tag, std::size_t depth) {
  auto unsigned_number = [&](std::uint64_t max) -> ToolResult<std::uint64_t> {
    skip_space();
    std::uint64_t n = 0;
    auto r = std::from_chars(text_.data() + pos_, text_.data() + text_.size(), n);
    // One text per number, as JSON has it: no leading zeros.
    const bool leading_zero = r.ptr - (text_.data() + pos_) > 1 && text_[pos_] == '0';
    if (r.ec != std::errc() || n > max || leading_zero) return fail("bad number for " + tag);
    pos_ = static_cast<std::size_t>(r.ptr - text_.data());
    return n;
  };
  Value result;
  if (tag == "$float") {
    auto s = read_string();
    if (!s) return std::unexpected(s.error());
    if (*s == "nan") {
      result = Value(std::bit_cast<double>(kQuietNan));
    } else if (*s == "inf") {
      result = Value(std::numeric_limits<double>::infinity());
    } else if (*s == "-inf") {
      result = Value(-std::numeric_limits<double>::infinity());
    } else if (s->size() == 22 && s->starts_with("nan:0x") &&
               s->find_first_not_of("0123456789abcdef", 6) == std::string::npos) {  // as dumps write it
      std::uint64_t bits = 0;
      auto r = std::from_chars(s->data() + 6, s->data() + s->size(), bits, 16);
      double d = std::bit_cast<double>(bits);
      if (r.ptr != s->data() + s->size() || !std::isnan(d) || bits == kQuietNan) return fail("bad $float");
      result = Value(d);
    } else {
      return fail("bad $float");
    }
  } else if (tag == "$bytes") {
    auto s = read_string();
    if (!s) return std::unexpected(s.error());
    Blob blob;
    if (!read_base64(*s, blob.bytes)) return fail("bad base64 in $bytes");
    result = Value(std::move(blob));
  } else if (tag == "$date" || tag == "$time") {
    auto n = unsigned_number(std::numeric_limits<std::uint32_t>::max());
    if (!n) return std::unexpected(n.error());
    const auto v = static_cast<std::uint32_t>(*n);
    result = tag == "$date" ? Value(Date{v}) : Value(Time{v});
  } else if (tag == "$datetime") {
    auto n = unsigned_number(std::numeric_limits<std::uint64_t>::max());
    if (!n) return std::unexpected(n.error());
    result = Value(DateTime{*n});
  } else if (tag == "$tombstone") {
    skip_space();
    if (text_.substr(pos_, 4) != "null") return fail("bad $tombstone");
    pos_ += 4;
    result = Value(Tombstone{});
  } else if (tag == "$map") {
    if (depth >= kMaxNesting) return fail("nested too deeply");
    auto map = members_at(depth + 1);
    if (!map) return std::unexpected(map.error());
    result = Value(std::move(*map));
  } else if (tag == "$link") {
    if (depth >= kMaxNesting) return fail("nested too deeply");
    auto path = read_string();
    if (!path) return std::unexpected(path.error());
    Link link{std::move(*path), {}};
    if (accept(',')) {
      auto key = read_string();
      if (!key) return std::unexpected(key.error());
      if (*key != "local") return fail("a $link holds only \"local\"");
      if (auto r = expect(':'); !r) return std::unexpected(r.error());
      auto local = members_at(depth + 1);
      if (!local) return std::unexpected(local.error());
      link.local = std::move(*local);
    }
    result = Value(std::move(link));
  } else {
    return fail("unknown tag " + tag);
  }
  if (auto r = expect('}'); !r) return std::unexpected(r.error());
  return result;
}

ToolResult<Value> JsonReader::object_at(std::size_t depth) {
  // The opening brace is consumed; a first key starting with "$" is a tag.
  if (accept('}')) return Value(TextMap{});
  const std::size_t first_key = pos_;
  auto key = read_string();
  if (!key) return std::unexpected(key.error());
  if (auto r = expect(':'); !r) return std::unexpected(r.error());
  if (key->starts_with('$')) return tagged(std::move(*key), depth);
  if (depth >= kMaxNesting) return fail("nested too deeply");
  pos_ = first_key - 1;  // back to the brace: read the members as a map
  while (text_[pos_] != '{') --pos_;
  auto map = members_at(depth + 1);
  if (!map) return std::unexpected(map.error());
  return Value(std::move(*map));
}

ToolResult<Value> JsonReader::value_at(std::size_t depth) {
  skip_space();
  if (pos_ >= text_.size()) return fail("expected a value");
  const char c = text_[pos_];
  auto literal = [&](std::string_view word, Value v) -> ToolResult<Value> {
    if (text_.substr(pos_, word.size()) != word) return fail("unknown literal");
    pos_ += word.size();
    return v;
  };
  switch (c) {
    case 'n': return literal("null", Value(Null{}));
    case 't': return literal("true", Value(true));
    case 'f': return literal("false", Value(false));
    case '"': {
      auto s = read_string();
      if (!s) return std::unexpected(s.error());
      return Value(std::move(*s));
    }
    case '[': {
      if (depth >= kMaxNesting) return fail("nested too deeply");
      ++pos_;
      Array array;
      if (!accept(']')) {
        do {
          auto element = value_at(depth + 1);
          if (!element) return element;
          array.push_back(std::move(*element));
        } while (accept(','));
        if (auto r = expect(']'); !r) return std::unexpected(r.error());
      }
      return Value(std::move(array));
    }
    case '{':
      ++pos_;
      return object_at(depth);
    default:
      if (c == '-' || (c >= '0' && c <= '9')) return number();
      return fail("expected a value");
  }
}

}  // namespace brindle::tools
