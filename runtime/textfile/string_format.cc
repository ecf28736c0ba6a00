#include <climits>
#include <cstring>
#include <string>

#include "runtime/textfile/handle_table.h"
#include "runtime/textfile/text_file_record.h"
#include "runtime/textfile/textfile.h"

namespace sr {
namespace {

struct Marker {
  int format;
  std::string_view bytes;
};

using namespace std::string_view_literals;

// Detection order matters: FF FE 00 00 must win over FF FE.
constexpr Marker kMarkers[] = {
    {StringFormat::utf32le, "\xFF\xFE\x00\x00"sv}, {StringFormat::utf16le, "\xFF\xFE"sv},
    {StringFormat::utf8, "\xEF\xBB\xBF"sv},        {StringFormat::utf16be, "\xFE\xFF"sv},
    {StringFormat::utf32be, "\x00\x00\xFF\xFE"sv},
};

std::string_view marker_of(int format) {
  for (const Marker& marker : kMarkers) {
    if (marker.format == format) return marker.bytes;
  }
  return {};
}

std::string to_utf16le(std::string_view text) {
  std::string units;
  units.reserve(text.size() * 2);
  for (char byte : text) {
    units.push_back(byte);
    units.push_back('\0');
  }
  return units;
}

std::string to_utf8(std::string_view text) {
  std::string encoded;
  encoded.reserve(text.size() * 2);
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      encoded.push_back(c);
    } else {
      encoded.push_back(static_cast<char>(0xC0 | (byte >> 6)));
      encoded.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
    }
  }
  return encoded;
}

int write_bytes(TextFileRecord& file, std::string_view bytes) {
  return bytes.empty() ? 0 : buffered_write(file, bytes.data(), bytes.size());
}

int write_in_format(TextFileRecord& file, std::string_view text, int format) {
  if (text.empty()) return 0;
  if (format == StringFormat::utf16le) return write_bytes(file, to_utf16le(text));
  if (format == StringFormat::utf8) return write_bytes(file, to_utf8(text));
  return write_bytes(file, text);
}

}  // namespace

int detect_string_format(TextFile handle) {
  TextFileRecord* file = find_text_file(handle);
  if (file == nullptr) return StringFormat::ascii;
  std::int64_t start = logical_position(*file);
  char head[4];
  int got = buffered_read(*file, head, 4);
  int format = StringFormat::ascii;
  std::size_t length = 0;
  for (const Marker& marker : kMarkers) {
    if (got >= static_cast<int>(marker.bytes.size()) &&
        std::memcmp(head, marker.bytes.data(), marker.bytes.size()) == 0) {
      format = marker.format;
      length = marker.bytes.size();
      break;
    }
  }
  reposition(*file, start + static_cast<std::int64_t>(length));
  return format;
}

int write_string_format_marker(TextFile handle, int format) {
  TextFileRecord* file = find_text_file(handle);
  return file == nullptr ? 0 : write_bytes(*file, marker_of(format));
}

int write_text_file_string(TextFile handle, std::string_view text, int format) {
  TextFileRecord* file = find_text_file(handle);
  return file == nullptr ? 0 : write_in_format(*file, text, format);
}

int write_text_file_line(TextFile handle, std::string_view text, int format) {
  TextFileRecord* file = find_text_file(handle);
  if (file == nullptr) return 0;
  long long written = write_in_format(*file, text, format);
  written += write_in_format(*file, "\n", format);
  return written > INT_MAX ? INT_MAX : static_cast<int>(written);
}

}  // namespace sr
