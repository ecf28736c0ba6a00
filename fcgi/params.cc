#include "fcgi/params.h"

#include <cstdint>

namespace sr::fcgi {
namespace {

// Reads one length at `at` and moves past it; false when the bytes end inside it.
bool read_length(std::string_view data, std::size_t& at, std::size_t& length) {
  if (at >= data.size()) return false;
  const auto first = static_cast<unsigned char>(data[at]);
  if ((first & 0x80) == 0) {
    length = first;
    at += 1;
    return true;
  }
  if (data.size() - at < 4) return false;
  length = (static_cast<std::size_t>(first & 0x7f) << 24) |
           (static_cast<std::size_t>(static_cast<unsigned char>(data[at + 1])) << 16) |
           (static_cast<std::size_t>(static_cast<unsigned char>(data[at + 2])) << 8) |
           static_cast<std::size_t>(static_cast<unsigned char>(data[at + 3]));
  at += 4;
  return true;
}

void append_length(std::string& out, std::size_t length) {
  if (length < 0x80) {
    out += static_cast<char>(length);
    return;
  }
  const auto value = static_cast<std::uint32_t>(length) | 0x80000000u;
  out += static_cast<char>(value >> 24);
  out += static_cast<char>((value >> 16) & 0xff);
  out += static_cast<char>((value >> 8) & 0xff);
  out += static_cast<char>(value & 0xff);
}

}  // namespace

bool read_pair_lengths(std::string_view data, std::size_t& at, std::size_t& name_length,
                       std::size_t& value_length) {
  return read_length(data, at, name_length) && read_length(data, at, value_length);
}

bool decode_name_values(std::string_view data, NameValuePairs& pairs) {
  std::size_t at = 0;
  pairs.reserve(pairs.size() + 32);  // what a web server usually sends: one allocation
  while (at < data.size()) {
    std::size_t name_length = 0;
    std::size_t value_length = 0;
    if (!read_pair_lengths(data, at, name_length, value_length)) return false;
    const std::size_t left = data.size() - at;
    if (name_length > left || value_length > left - name_length) return false;
    pairs.emplace_back(data.substr(at, name_length), data.substr(at + name_length, value_length));
    at += name_length + value_length;
  }
  return true;
}

void append_name_value(std::string& out, std::string_view name, std::string_view value) {
  append_length(out, name.size());
  append_length(out, value.size());
  out.append(name);
  out.append(value);
}

}  // namespace sr::fcgi
