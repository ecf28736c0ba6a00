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

// Copies sizeof(Word) to 2 * sizeof(Word) bytes as a first and a last word, which may overlap;
// both are read before either is written.
template <typename Word>
inline void move_as_two_words(char* to, const char* from, size_t count) {
  Word first, last;
  memcpy(&first, from, sizeof first);
  memcpy(&last, from + count - sizeof last, sizeof last);
  memcpy(to, &first, sizeof first);
  memcpy(to + count - sizeof last, &last, sizeof last);
}

struct SixteenBytes {
  uint64_t low, high;
};

// Copies `count` bytes from `from` to `to`; the two may overlap. Most copies of a page are short
// (a word, a number's digits, a line) and are done here in registers: the C library's copy
// starts a string instruction whose set-up alone costs more than such a copy.
inline void move_bytes(char* to, const char* from, size_t count) {
  if (count > 32) {
    memmove(to, from, count);
  } else if (count > 16) {
    move_as_two_words<SixteenBytes>(to, from, count);
  } else if (count >= 8) {
    move_as_two_words<uint64_t>(to, from, count);
  } else if (count >= 4) {
    move_as_two_words<uint32_t>(to, from, count);
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
