// Conversion of one line as stored in the file to the runner's 8-bit string.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sr {

// Units 1 to 255 become one byte each; larger units are left out.
std::string bytes_from_utf16_units(const std::vector<std::uint16_t>& units);
// Characters 0 to 255 become one byte each. A line holding a larger character or a malformed
// sequence reads as ""; a sequence cut off by the end of the line is left out.
std::string bytes_from_utf8_line(std::string_view line);

}  // namespace sr
