// Whether a value holds a Link anywhere in its tree, so that writes can skip
// reading a key's old value when it cannot hold links.
//
// Recursive: call it only on values the encoder accepted, which bounds their
// depth.
#pragma once

#include "types/value.h"

namespace brindle {

inline bool holds_link(const Value& value) {
  if (value.is<Link>()) return true;
  if (const Array* array = value.get_if<Array>()) {
    for (const Value& item : *array) {
      if (holds_link(item)) return true;
    }
  } else if (const TextMap* map = value.get_if<TextMap>()) {
    for (const MapEntry& entry : *map) {
      if (holds_link(entry.value)) return true;
    }
  }
  return false;
}

}  // namespace brindle
