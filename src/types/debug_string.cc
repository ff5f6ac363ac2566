#include "types/debug_string.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <iterator>

#include "types/utf8.h"

namespace brindle {

namespace {

struct CodePointRange {
  char32_t first;
  char32_t last;
};

constexpr CodePointRange kEscapedRanges[] = {
#include "types/unicode_tables.inc"
};

bool needs_unicode_escape(char32_t cp) {
  auto it = std::upper_bound(std::begin(kEscapedRanges), std::end(kEscapedRanges), cp,
                             [](char32_t c, const CodePointRange& r) { return c < r.first; });
  return it != std::begin(kEscapedRanges) && cp <= std::prev(it)->last;
}

void append_hex(std::string& out, std::uint32_t v) {
  char buf[16];
  auto res = std::to_chars(buf, buf + sizeof buf, v, 16);
  out.append(buf, res.ptr);
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

void append_quoted(std::string& out, std::string_view text) {
  out.push_back('"');
  std::size_t pos = 0;
  while (pos < text.size()) {
    char32_t cp = next_code_point(text, pos);
    switch (cp) {
      case U'"':
        out += "\\\"";
        break;
      case U'\\':
        out += "\\\\";
        break;
      case U'\t':
        out += "\\t";
        break;
      case U'\r':
        out += "\\r";
        break;
      case U'\n':
        out += "\\n";
        break;
      case U'\0':
        out += "\\0";
        break;
      default:
        if (needs_unicode_escape(cp)) {
          out += "\\u{";
          append_hex(out, static_cast<std::uint32_t>(cp));
          out.push_back('}');
        } else {
          append_utf8(out, cp);
        }
    }
  }
  out.push_back('"');
}

void append_float(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "NaN";
    return;
  }
  if (std::isinf(value)) {
    out += value < 0 ? "-inf" : "inf";
    return;
  }
  // Shortest round-trip digits, taken from the scientific form d.ddde±XX.
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));
  bool negative = false;
  if (!sci.empty() && sci.front() == '-') {
    negative = true;
    sci.remove_prefix(1);
  }
  std::size_t e_pos = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, e_pos)) {
    if (c != '.') digits.push_back(c);
  }
  int exponent = 0;
  std::string_view exp_text = sci.substr(e_pos + 1);
  if (!exp_text.empty() && exp_text.front() == '+') exp_text.remove_prefix(1);
  std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exponent);

  if (negative) out.push_back('-');
  double magnitude = std::fabs(value);
  if (magnitude == 0.0 || (magnitude >= 1e-4 && magnitude < 1e16)) {
    if (magnitude == 0.0) {
      out += "0.0";
    } else if (exponent >= 0) {
      std::size_t int_digits = static_cast<std::size_t>(exponent) + 1;
      if (digits.size() <= int_digits) {
        out += digits;
        out.append(int_digits - digits.size(), '0');
        out += ".0";
      } else {
        out.append(digits, 0, int_digits);
        out.push_back('.');
        out.append(digits, int_digits);
      }
    } else {
      out += "0.";
      out.append(static_cast<std::size_t>(-exponent - 1), '0');
      out += digits;
    }
    return;
  }
  out.push_back(digits[0]);
  if (digits.size() > 1) {
    out.push_back('.');
    out.append(digits, 1);
  }
  out.push_back('e');
  char ebuf[16];
  auto eres = std::to_chars(ebuf, ebuf + sizeof ebuf, exponent);
  out.append(ebuf, eres.ptr);
}

template <class Integer>
void append_integer(std::string& out, Integer v) {
  char buf[32];
  auto res = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, res.ptr);
}

void append_value(std::string& out, const Value& value);

void append_map(std::string& out, const TextMap& map) {
  out.push_back('{');
  bool first = true;
  for (const MapEntry& entry : map) {
    if (!first) out += ", ";
    first = false;
    append_quoted(out, entry.key);
    out += ": ";
    append_value(out, entry.value);
  }
  out.push_back('}');
}

struct Renderer {
  std::string& out;
  void operator()(const Null&) { out += "Null"; }
  void operator()(const Tombstone&) { out += "Tombstone"; }
  void operator()(bool b) { out += b ? "Bool(true)" : "Bool(false)"; }
  void operator()(std::int64_t i) {
    out += "Int(";
    append_integer(out, i);
    out.push_back(')');
  }
  void operator()(double d) {
    out += "Float(";
    append_float(out, d);
    out.push_back(')');
  }
  void operator()(const std::string& text) {
    out += "Text(";
    append_quoted(out, text);
    out.push_back(')');
  }
  void operator()(const Blob& blob) {
    out += "Blob([";
    bool first = true;
    for (unsigned char byte : blob.bytes) {
      if (!first) out += ", ";
      first = false;
      append_integer(out, static_cast<unsigned>(byte));
    }
    out += "])";
  }
  void operator()(const Date& d) {
    out += "Date(";
    append_integer(out, d.value);
    out.push_back(')');
  }
  void operator()(const Time& t) {
    out += "Time(";
    append_integer(out, t.value);
    out.push_back(')');
  }
  void operator()(const DateTime& d) {
    out += "DateTime(";
    append_integer(out, d.value);
    out.push_back(')');
  }
  void operator()(const Array& array) {
    out += "Array([";
    bool first = true;
    for (const Value& element : array) {
      if (!first) out += ", ";
      first = false;
      append_value(out, element);
    }
    out += "])";
  }
  void operator()(const TextMap& map) {
    out += "Map(";
    append_map(out, map);
    out.push_back(')');
  }
  void operator()(const Link& link) {
    out += "Link(Link { path: ";
    append_quoted(out, link.path);
    out += ", local: ";
    append_map(out, link.local);
    out += " })";
  }
};

void append_value(std::string& out, const Value& value) { std::visit(Renderer{out}, value.data()); }

}  // namespace

std::string quote_text(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  append_quoted(out, text);
  return out;
}

std::string format_float(double value) {
  std::string out;
  append_float(out, value);
  return out;
}

std::string debug_string(const Value& value) {
  std::string out;
  append_value(out, value);
  return out;
}

}  // namespace brindle
