#include <cstdint>
#include <string>
#include <vector>

#include "runtime/textfile/handle_table.h"
#include "runtime/textfile/line_decoding.h"
#include "runtime/textfile/text_file_record.h"
#include "runtime/textfile/textfile.h"

namespace sr {
namespace {

constexpr std::uint16_t kLineFeed = 0x0A;
constexpr std::uint16_t kCarriageReturn = 0x0D;

// Reads one unit of `width` bytes (1, or 2 little-endian); false at the end of the file.
bool read_unit(TextFileRecord& file, int width, std::uint16_t& unit) {
  unsigned char bytes[2] = {0, 0};
  if (buffered_read(file, reinterpret_cast<char*>(bytes), width) < width) return false;
  unit = static_cast<std::uint16_t>(bytes[0] | (width == 2 ? bytes[1] << 8 : 0));
  return true;
}

// Gathers the units of one line and consumes its end: LF, CR, CR LF or a zero unit.
std::vector<std::uint16_t> read_line_units(TextFileRecord& file, int width) {
  std::vector<std::uint16_t> units;
  units.reserve(static_cast<std::size_t>(kTextFileBufferSize));
  std::uint16_t unit;
  while (read_unit(file, width, unit)) {
    if (unit == kLineFeed || unit == 0) break;
    if (unit == kCarriageReturn) {
      std::uint16_t next;
      if (read_unit(file, width, next) && next != kLineFeed) push_back_bytes(file, width);
      break;
    }
    units.push_back(unit);
  }
  return units;
}

std::string as_bytes(const std::vector<std::uint16_t>& units) {
  return std::string(units.begin(), units.end());
}

}  // namespace

std::string read_text_file_line(TextFile handle, int format) {
  TextFileRecord* file = find_text_file(handle);
  if (file == nullptr) return "";
  if (format == StringFormat::utf16le) return bytes_from_utf16_units(read_line_units(*file, 2));
  std::string line = as_bytes(read_line_units(*file, 1));
  if (format == StringFormat::utf8) return bytes_from_utf8_line(line);
  return line;
}

}  // namespace sr
