#include <algorithm>
#include <cstring>

#include "runtime/strings/strings.h"

namespace sr {

std::string string_field(std::string_view text, std::int64_t field, std::string_view separator) {
  if (field < 1) field = 1;
  if (separator.empty()) return field == 1 ? std::string(text) : std::string();
  const char sep = separator.front();
  std::size_t begin = 0;
  for (std::int64_t k = 1; k < field; ++k) {
    std::size_t at = text.find(sep, begin);
    if (at == std::string_view::npos) return {};
    begin = at + 1;
  }
  std::size_t end = text.find(sep, begin);
  if (end == std::string_view::npos) end = text.size();
  return std::string(text.substr(begin, end - begin));
}

std::string left_string(std::string_view text, std::int64_t count) {
  if (count <= 0) return {};
  auto n = static_cast<std::size_t>(std::min<std::int64_t>(count, std::ssize(text)));
  return std::string(text.substr(0, n));
}

std::string mid_string(std::string_view text, std::int64_t start) {
  if (start <= 1) return std::string(text);
  if (start > std::ssize(text)) return {};
  return std::string(text.substr(static_cast<std::size_t>(start - 1)));
}

std::string lower_case(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    auto b = static_cast<unsigned char>(c);
    // The Latin-1 capitals, the multiplication sign 0xD7 included, move up with the letters.
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
  // One pass: what is copied is never looked at again, so removals cannot create new matches.
  std::size_t from = 0;
  for (std::size_t at = text.find(sought); at != std::string_view::npos;
       at = text.find(sought, from)) {
    out.append(text.substr(from, at - from));
    from = at + sought.size();
  }
  out.append(text.substr(from));
  return out;
}

std::string string_from_memory(const void* block, std::int64_t size) {
  if (block == nullptr || size <= 0) return {};
  const char* bytes = static_cast<const char*>(block);
  auto n = static_cast<std::size_t>(size);
  const void* zero = std::memchr(bytes, 0, n);
  if (zero != nullptr) n = static_cast<std::size_t>(static_cast<const char*>(zero) - bytes);
  return std::string(bytes, n);
}

}  // namespace sr
