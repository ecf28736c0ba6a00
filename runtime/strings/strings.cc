#include "runtime/strings/strings.h"

#include "runtime/strings/ascii.h"

namespace sr {
namespace {

// The byte at `i`, with the end of the text read as the terminating zero byte.
unsigned char byte_at(std::string_view text, std::size_t i) {
  return i < text.size() ? static_cast<unsigned char>(text[i]) : 0;
}

}  // namespace

int strings_equal(std::string_view a, std::string_view b) {
  return a == b ? 1 : 0;
}

int compare_prefix(std::string_view a, std::string_view b, int mode, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    unsigned char x = byte_at(a, i);
    unsigned char y = byte_at(b, i);
    if (mode != 0) {
      x = ascii_lower(x);
      y = ascii_lower(y);
    }
    if (x != y) return x < y ? -1 : 1;
    if (x == 0) return 0;  // both ended together
  }
  return 0;
}

std::int64_t find_string(std::string_view text, std::string_view sought, std::int64_t start) {
  if (text.empty() || sought.empty()) return 0;
  if (start < 1) start = 1;
  if (start > static_cast<std::int64_t>(text.size())) return 0;
  std::size_t at = text.find(sought, static_cast<std::size_t>(start - 1));
  return at == std::string_view::npos ? 0 : static_cast<std::int64_t>(at) + 1;
}

std::int64_t count_string(std::string_view text, std::string_view sought) {
  if (text.empty() || sought.empty()) return 0;
  std::int64_t count = 0;
  // Each search resumes behind the previous occurrence, so occurrences never overlap.
  for (std::size_t at = text.find(sought); at != std::string_view::npos;
       at = text.find(sought, at + sought.size())) {
    ++count;
  }
  return count;
}

}  // namespace sr
