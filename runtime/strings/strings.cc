#include "runtime/strings/strings.h"

#include <algorithm>
#include <cstring>

namespace sr {
namespace {

unsigned char tolower_ascii(unsigned char b) {
  return b >= 'A' && b <= 'Z' ? b + 0x20 : b;
}

}  // namespace

int strings_equal(std::string_view a, std::string_view b) {
  return a == b ? 1 : 0;
}

int compare_prefix(std::string_view a, std::string_view b, int mode, std::size_t count) {
  // strncmp semantics: the comparison stops at the shorter text's end, which acts as a zero byte.
  std::size_t n = std::min({a.size(), b.size(), count});
  for (std::size_t i = 0; i < n; ++i) {
    unsigned char x = a[i];
    unsigned char y = b[i];
    if (mode != 0) {
      x = tolower_ascii(x);
      y = tolower_ascii(y);
    }
    if (x != y) return x < y ? -1 : 1;
    if (x == 0) return 0;
  }
  if (n == count) return 0;
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
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
  for (std::size_t at = text.find(sought); at != std::string_view::npos;
       at = text.find(sought, at + sought.size())) {
    ++count;
  }
  return count;
}

std::string string_field(std::string_view text, std::int64_t field, std::string_view separator) {
  if (separator.empty()) return field <= 1 ? std::string(text) : std::string();
  const char sep = separator.front();
  if (field < 1) field = 1;
  std::size_t begin = 0;
  for (std::int64_t k = 1; k < field; ++k) {
    std::size_t at = text.find(sep, begin);
    if (at == std::string_view::npos) return {};
    begin = at + 1;
  }
  std::size_t end = text.find(sep, begin);
  return std::string(text.substr(begin, end == std::string_view::npos ? text.npos : end - begin));
}

std::string left_string(std::string_view text, std::int64_t count) {
  if (count <= 0) return {};
  return std::string(
      text.substr(0, static_cast<std::size_t>(std::min<std::int64_t>(count, text.size()))));
}

std::string mid_string(std::string_view text, std::int64_t start) {
  if (start <= 1) return std::string(text);
  if (start > static_cast<std::int64_t>(text.size())) return {};
  return std::string(text.substr(static_cast<std::size_t>(start - 1)));
}

std::string lower_case(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    unsigned char b = static_cast<unsigned char>(c);
    if ((b >= 0x41 && b <= 0x5A) || (b >= 0xC0 && b <= 0xDE)) c = static_cast<char>(b + 0x20);
  }
  return out;
}

std::string trim_spaces(std::string_view text) {
  std::size_t begin = text.find_first_not_of(' ');
  if (begin == std::string_view::npos) return {};
  std::size_t end = text.find_last_not_of(' ');
  return std::string(text.substr(begin, end - begin + 1));
}

std::string remove_string(std::string_view text, std::string_view sought) {
  if (sought.empty()) return std::string(text);
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    while (text.substr(i, sought.size()) == sought) i += sought.size();
    if (i < text.size()) out.push_back(text[i++]);
  }
  return out;
}

std::string string_from_memory(const void* block, std::int64_t size) {
  if (block == nullptr || size <= 0) return {};
  const char* bytes = static_cast<const char*>(block);
  const void* zero = std::memchr(bytes, 0, static_cast<std::size_t>(size));
  std::size_t n = zero ? static_cast<std::size_t>(static_cast<const char*>(zero) - bytes)
                       : static_cast<std::size_t>(size);
  return std::string(bytes, n);
}

std::string path_part(std::string_view path) {
  if (!path.empty() && path.front() == '"') path.remove_prefix(1);
  std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return {};
  return std::string(path.substr(0, slash + 1));
}

}  // namespace sr
