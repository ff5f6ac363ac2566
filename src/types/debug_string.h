// The diagnostic text form of values, used wherever a message shows a value
// or a path: variant names with their payloads, floats in their shortest
// round-trip form, text quoted with backslash escapes.
#pragma once

#include <string>
#include <string_view>

#include "types/value.h"

namespace brindle {

// Text between double quotes. A double quote and a backslash get a backslash;
// tab, carriage return, line feed and NUL become \t \r \n \0; other
// non-printable characters and combining marks become \u{hex}; everything
// else, the single quote included, is copied unchanged.
std::string quote_text(std::string_view text);

// The shortest decimal that reads back to the same double: positional for
// zero and for magnitudes in [1e-4, 1e16) (always with a fractional digit),
// exponent form otherwise; NaN, inf and -inf for non-finite values.
std::string format_float(double value);

// The whole value, e.g. Map({"a": Int(1)}) or Link(Link { path: "u/1", local: {} }).
std::string debug_string(const Value& value);

}  // namespace brindle
