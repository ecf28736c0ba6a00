#include "fcgi/status_text.h"

#include <cstdint>

namespace sr::fcgi {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// The length of the UTF-8 sequence at `at`, 0 when none starts there (a stray byte, a cut,
// overlong or surrogate sequence, or a code point past U+10FFFF).
std::size_t utf8_sequence(std::string_view text, std::size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  std::uint32_t code = 0;
  std::uint32_t least = 0;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, code = lead & 0x1F, least = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, code = lead & 0x0F, least = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, code = lead & 0x07, least = 0x10000;
  } else {
    return 0;
  }
  if (text.size() - at < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(text[at + i]);
    if ((next & 0xC0) != 0x80) return 0;
    code = (code << 6) | (next & 0x3F);
  }
  if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

// `text` between quotes, each ASCII byte through `escape` and the rest checked as UTF-8.
template <typename Escape>
std::string quoted(std::string_view text, Escape escape) {
  std::string out = "\"";
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t length = utf8_sequence(text, at);
    if (length == 1) {
      escape(out, text[at]);
    } else if (length == 0) {
      out += kReplacement;
    } else {
      out += text.substr(at, length);
    }
    at += length == 0 ? 1 : length;
  }
  return out + "\"";
}

}  // namespace

std::string json_string(std::string_view text) {
  return quoted(text, [](std::string& out, char c) {
    static constexpr char kHex[] = "0123456789abcdef";
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (byte < 0x20 || byte == 0x7F) {
      out += "\\u00";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xF];
    } else {
      out += c;
    }
  });
}

std::string openmetrics_label_value(std::string_view text) {
  return quoted(text, [](std::string& out, char c) {
    if (c == '\n') {
      out += "\\n";
      return;
    }
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  });
}

}  // namespace sr::fcgi
