#include "compiler/stub/text_functions.h"

#include <charconv>

namespace sr::zr {
namespace {

size_t clamp_count(int64_t n, size_t size) {
  if (n <= 0) return 0;
  return static_cast<uint64_t>(n) < size ? static_cast<size_t>(n) : size;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string left_part(std::string_view s, int64_t n) {
  return std::string(s.substr(0, clamp_count(n, s.size())));
}

std::string right_part(std::string_view s, int64_t n) {
  size_t count = clamp_count(n, s.size());
  return std::string(s.substr(s.size() - count));
}

std::string mid_part(std::string_view s, int64_t start, int64_t count) {
  if (start < 1) start = 1;
  if (static_cast<uint64_t>(start) > s.size()) return "";
  std::string_view rest = s.substr(static_cast<size_t>(start - 1));
  return std::string(count < 0 ? rest : rest.substr(0, clamp_count(count, rest.size())));
}

int64_t find_text(std::string_view s, std::string_view sought, int64_t start) {
  if (sought.empty()) return 0;
  if (start < 1) start = 1;
  if (static_cast<uint64_t>(start) > s.size()) return 0;
  size_t at = s.find(sought, static_cast<size_t>(start - 1));
  return at == std::string_view::npos ? 0 : static_cast<int64_t>(at + 1);
}

std::string replace_all(std::string_view s, std::string_view sought, std::string_view by) {
  if (sought.empty()) return std::string(s);  // nothing to find, and no endless insertion
  std::string out;
  size_t from = 0;
  for (size_t at; (at = s.find(sought, from)) != std::string_view::npos;
       from = at + sought.size()) {
    out.append(s.substr(from, at - from));
    out.append(by);
  }
  out.append(s.substr(from));
  return out;
}

std::string trim_blanks(std::string_view s) {
  size_t first = s.find_first_not_of(" \t");
  if (first == std::string_view::npos) return "";
  return std::string(s.substr(first, s.find_last_not_of(" \t") - first + 1));
}

std::string upper_ascii(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

std::string lower_ascii(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::string field_of(std::string_view s, int64_t n, std::string_view separator) {
  if (n < 1) return "";
  if (separator.empty()) return n == 1 ? std::string(s) : "";
  size_t from = 0;
  for (int64_t i = 1; i < n; ++i) {
    size_t at = s.find(separator, from);
    if (at == std::string_view::npos) return "";
    from = at + separator.size();
  }
  size_t end = s.find(separator, from);
  return std::string(s.substr(from, end == std::string_view::npos ? s.npos : end - from));
}

std::string url_decode(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '+') {
      out.push_back(' ');
    } else if (s[i] == '%' && i + 2 < s.size() && hex_value(s[i + 1]) >= 0 &&
               hex_value(s[i + 2]) >= 0) {
      out.push_back(static_cast<char>(hex_value(s[i + 1]) * 16 + hex_value(s[i + 2])));
      i += 2;
    } else {
      out.push_back(s[i]);  // a "%" without two hex digits stays as written
    }
  }
  return out;
}

std::string html_escape(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (char c : s) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out.push_back(c);
    }
  }
  return out;
}

std::string decimal(int64_t n) {
  char buffer[24];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, n);
  return std::string(buffer, result.ptr);
}

int64_t leading_integer(std::string_view s) {
  size_t i = s.find_first_not_of(" \t");
  if (i == std::string_view::npos) return 0;
  bool negative = s[i] == '-';
  if (s[i] == '-' || s[i] == '+') ++i;
  uint64_t magnitude = 0;
  const uint64_t limit = negative ? uint64_t{1} << 63 : static_cast<uint64_t>(INT64_MAX);
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    uint64_t digit = static_cast<uint64_t>(s[i] - '0');
    magnitude = magnitude > (limit - digit) / 10 ? limit : magnitude * 10 + digit;
  }
  return negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
}

}  // namespace sr::zr
