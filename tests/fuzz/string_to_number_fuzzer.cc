// string_to_number on any text equals a direct model of the rules (blanks and tabs, one sign,
// "$" hexadecimal, "%" binary or decimal digits, wrapping modulo 2^64), and number_to_string
// of the result reads back as the same value.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/strings/strings.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

int digit_value(char c, unsigned base) {
  int v = -1;
  if (c >= '0' && c <= '9') v = c - '0';
  if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
  if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
  return v >= 0 && static_cast<unsigned>(v) < base ? v : -1;
}

std::int64_t model(std::string_view text) {
  // The runner's strings end at their first zero byte.
  text = text.substr(0, text.find('\0'));
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  unsigned base = 10;
  if (i < text.size() && text[i] == '$') {
    base = 16;
    ++i;
  } else if (i < text.size() && text[i] == '%') {
    base = 2;
    ++i;
  }
  std::uint64_t value = 0;
  for (; i < text.size() && digit_value(text[i], base) >= 0; ++i) {
    value = value * base + static_cast<std::uint64_t>(digit_value(text[i], base));
  }
  if (negative) value = 0 - value;
  return static_cast<std::int64_t>(value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::int64_t value = sr::string_to_number(text);
  const std::int64_t expected = model(text);
  if (value != expected) {
    sr::fuzz::fail("string_to_number", std::to_string(expected), std::to_string(value));
  }
  const std::string decimal = sr::number_to_string(value);
  if (decimal != std::to_string(value)) {
    sr::fuzz::fail("number_to_string", std::to_string(value), decimal);
  }
  if (sr::string_to_number(decimal) != value) {
    sr::fuzz::fail("decimal text does not read back", decimal,
                   std::to_string(sr::string_to_number(decimal)));
  }
  return 0;
}
