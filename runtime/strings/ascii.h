// Byte helpers shared by the string and URL operations.
#pragma once

namespace sr {

// A-Z become a-z; every other byte, 0x80-0xFF included, stays.
constexpr unsigned char ascii_lower(unsigned char byte) {
  return byte >= 'A' && byte <= 'Z' ? static_cast<unsigned char>(byte + 0x20) : byte;
}

}  // namespace sr
