#include <charconv>
#include <cstdint>

#include "runtime/strings/strings.h"

namespace sr {
namespace {

// Value of `c` as a digit of `base` (2, 10 or 16), or -1.
int digit_value(char c, int base) {
  int v = -1;
  if (c >= '0' && c <= '9') v = c - '0';
  if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
  if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
  return v < base ? v : -1;
}

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}

}  // namespace

std::string number_to_string(std::int64_t value) {
  char digits[24];
  auto result = std::to_chars(digits, digits + sizeof digits, value);
  return std::string(digits, result.ptr);
}

std::int64_t string_to_number(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && is_blank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  int base = 10;
  if (i < text.size() && text[i] == '$') {
    base = 16;
    ++i;
  } else if (i < text.size() && text[i] == '%') {
    base = 2;
    ++i;
  }
  // Unsigned arithmetic wraps modulo 2^64 without undefined behaviour.
  std::uint64_t value = 0;
  for (; i < text.size(); ++i) {
    int d = digit_value(text[i], base);
    if (d < 0) break;
    value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(d);
  }
  return static_cast<std::int64_t>(negative ? 0 - value : value);
}

}  // namespace sr
