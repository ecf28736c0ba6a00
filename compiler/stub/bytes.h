// A view of bytes owned elsewhere, and the searches the string functions are built from.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

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

// Copies `count` bytes from `from` to `to`; the two may overlap. Most copies of a page are short
// (a word, a number's digits, a line) and are done here in registers: the C library's copy
// starts a string instruction whose set-up alone costs more than such a copy.
inline void move_bytes(char* to, const char* from, size_t count) {
  if (count > 32) {
    memmove(to, from, count);
  } else if (count > 16) {
    uint64_t a, b, c, d;
    memcpy(&a, from, 8);
    memcpy(&b, from + 8, 8);
    memcpy(&c, from + count - 16, 8);
    memcpy(&d, from + count - 8, 8);
    memcpy(to, &a, 8);
    memcpy(to + 8, &b, 8);
    memcpy(to + count - 16, &c, 8);
    memcpy(to + count - 8, &d, 8);
  } else if (count >= 8) {
    uint64_t a, b;
    memcpy(&a, from, 8);
    memcpy(&b, from + count - 8, 8);
    memcpy(to, &a, 8);
    memcpy(to + count - 8, &b, 8);
  } else if (count >= 4) {
    uint32_t a, b;
    memcpy(&a, from, 4);
    memcpy(&b, from + count - 4, 4);
    memcpy(to, &a, 4);
    memcpy(to + count - 4, &b, 4);
  } else if (count > 0) {
    const char a = from[0], b = from[count / 2], c = from[count - 1];
    to[0] = a;
    to[count / 2] = b;
    to[count - 1] = c;
  }
}

// The first occurrence of `sought` at or after `from`, or kNotFound.
size_t find_bytes(Bytes s, Bytes sought, size_t from);
// Below zero, zero or above zero as `a` sorts before, equal to or after `b`, byte by byte as
// unsigned values; a prefix sorts first.
int compare_bytes(Bytes a, Bytes b);
// The first / last position whose byte is neither a blank nor a tab, or kNotFound.
size_t first_non_blank(Bytes s);
size_t last_non_blank(Bytes s);

}  // namespace sr::zr
