#include "runtime/textfile/line_decoding.h"

namespace sr {
namespace {

bool is_continuation(unsigned char byte) {
  return byte >= 0x80 && byte <= 0xBF;
}

// Continuation bytes after a lead byte, or -1 for a byte that cannot start a character.
int continuation_count(unsigned char lead) {
  if (lead < 0x80) return 0;
  if (lead < 0xC0) return -1;
  if (lead < 0xE0) return 1;
  if (lead < 0xF0) return 2;
  if (lead < 0xF8) return 3;
  return -1;
}

unsigned lead_bits(unsigned char lead, int continuations) {
  static constexpr unsigned kMasks[] = {0x7F, 0x1F, 0x0F, 0x07};
  return lead & kMasks[continuations];
}

// Our strings end at a zero byte, so a decoded zero (an overlong C0 80) ends the text there.
std::string up_to_zero(std::string text) {
  auto zero = text.find('\0');
  if (zero != std::string::npos) text.resize(zero);
  return text;
}

}  // namespace

std::string bytes_from_utf16_units(const std::vector<std::uint16_t>& units) {
  std::string bytes;
  bytes.reserve(units.size());
  for (std::uint16_t unit : units) {
    if (unit >= 1 && unit <= 255) bytes.push_back(static_cast<char>(unit));
  }
  return bytes;
}

std::string bytes_from_utf8_line(std::string_view line) {
  std::string bytes;
  bytes.reserve(line.size());
  std::size_t i = 0;
  while (i < line.size()) {
    auto lead = static_cast<unsigned char>(line[i]);
    int continuations = continuation_count(lead);
    if (continuations < 0) return "";
    if (i + static_cast<std::size_t>(continuations) >= line.size()) {
      // Cut off by the end of the line, unless a present byte already breaks the sequence.
      for (std::size_t k = i + 1; k < line.size(); ++k) {
        if (!is_continuation(static_cast<unsigned char>(line[k]))) return "";
      }
      break;
    }
    unsigned value = lead_bits(lead, continuations);
    for (int k = 1; k <= continuations; ++k) {
      auto next = static_cast<unsigned char>(line[i + k]);
      if (!is_continuation(next)) return "";
      value = (value << 6) | (next & 0x3F);
    }
    if (value > 255) return "";
    bytes.push_back(static_cast<char>(value));
    i += 1 + static_cast<std::size_t>(continuations);
  }
  return up_to_zero(std::move(bytes));
}

}  // namespace sr
