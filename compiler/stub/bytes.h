// A view of bytes owned elsewhere, and the searches the string functions are built from.
#pragma once

#include <stddef.h>

namespace sr::zr {

inline constexpr size_t kNotFound = static_cast<size_t>(-1);

struct Bytes {
  const char* data = "";  // never null, so the C library's memory functions may take it
  size_t size = 0;

  bool empty() const { return size == 0; }
  char operator[](size_t i) const { return data[i]; }
  // The bytes from `from` on, at most `count` of them; nothing when `from` is past the end.
  Bytes part(size_t from, size_t count = kNotFound) const;
};

Bytes bytes_of(const char* c_string);

// The first occurrence of `sought` at or after `from`, or kNotFound.
size_t find_bytes(Bytes s, Bytes sought, size_t from);
// Below zero, zero or above zero as `a` sorts before, equal to or after `b`, byte by byte as
// unsigned values; a prefix sorts first.
int compare_bytes(Bytes a, Bytes b);
// The first / last position whose byte is neither a blank nor a tab, or kNotFound.
size_t first_non_blank(Bytes s);
size_t last_non_blank(Bytes s);

}  // namespace sr::zr
