// Text files on any bytes: detection finds the format a model of the markers finds; reading
// line by line always moves forward and ends; the lines equal a model of the line ends and of
// the conversion of each format; and lines written in any format read back unchanged.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/textfile/textfile.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

const sr::fuzz::ScratchDir& scratch() {
  static const sr::fuzz::ScratchDir dir;
  return dir;
}

struct Detected {
  int format;
  std::size_t marker_length;
};

Detected model_detect(std::string_view b) {
  auto starts = [&](std::string_view marker) { return b.substr(0, marker.size()) == marker; };
  using namespace std::string_view_literals;
  if (starts("\xFF\xFE\x00\x00"sv)) return {5, 4};
  if (starts("\xFF\xFE"sv)) return {1, 2};
  if (starts("\xEF\xBB\xBF"sv)) return {2, 3};
  if (starts("\xFE\xFF"sv)) return {4, 2};
  if (starts("\x00\x00\xFF\xFE"sv)) return {6, 4};
  return {3, 0};
}

std::vector<std::string> model_utf16_lines(std::string_view bytes) {
  std::vector<std::uint16_t> units;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    units.push_back(static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[i]) |
                                               static_cast<unsigned char>(bytes[i + 1]) << 8));
  }
  std::vector<std::string> lines;
  for (const auto& line : sr::fuzz::split_lines(units)) {
    std::string text;
    for (std::uint16_t u : line) {
      if (u >= 1 && u <= 255) text += static_cast<char>(u);
    }
    lines.push_back(text);
  }
  // A lone last byte is read by one more line read, unless a CR's look-ahead took it.
  const bool odd = bytes.size() % 2 == 1;
  if (odd && (units.empty() || units.back() == 0x0A || units.back() == 0x00)) lines.emplace_back();
  return lines;
}

std::string model_utf8_decode(std::string_view line) {
  std::string out;
  for (std::size_t i = 0; i < line.size();) {
    const auto lead = static_cast<unsigned char>(line[i]);
    if (lead < 0x80) {
      out += static_cast<char>(lead);
      ++i;
      continue;
    }
    int more;
    std::uint32_t value;
    if (lead >= 0xC0 && lead <= 0xDF) {
      more = 1;
      value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      more = 2;
      value = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF7) {
      more = 3;
      value = lead & 0x07;
    } else {
      return "";  // a continuation byte where a character starts, or F8 to FF
    }
    int taken = 0;
    for (; taken < more && i + 1 + taken < line.size(); ++taken) {
      const auto next = static_cast<unsigned char>(line[i + 1 + taken]);
      if ((next & 0xC0) != 0x80) return "";
      value = value << 6 | (next & 0x3F);
    }
    if (taken < more) break;  // cut off by the end of the line: left out
    if (value > 255) return "";
    out += static_cast<char>(value);
    i += 1 + static_cast<std::size_t>(more);
  }
  return out;
}

std::vector<std::string> model_lines(std::string_view content, int format) {
  if (format == sr::StringFormat::utf16le) return model_utf16_lines(content);
  std::vector<std::string> lines = sr::fuzz::split_byte_lines(content);
  if (format == sr::StringFormat::utf8) {
    for (std::string& line : lines) line = model_utf8_decode(line);
  }
  return lines;
}

std::string describe(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& line : lines) out += line + "|";
  return out;
}

// Reads every line up to the end, checking that each read moves the position forward.
std::vector<std::string> read_all_lines(sr::TextFile file, int format, std::size_t size) {
  std::vector<std::string> lines;
  std::int64_t position = sr::text_file_position(file);
  while (!sr::text_file_at_end(file)) {
    lines.push_back(sr::read_text_file_line(file, format));
    const std::int64_t next = sr::text_file_position(file);
    if (next <= position || next > static_cast<std::int64_t>(size)) {
      sr::fuzz::fail("a line read did not move forward within the file", std::to_string(position),
                     std::to_string(next));
    }
    position = next;
  }
  return lines;
}

void check_reading(std::string_view bytes) {
  const std::string path = scratch().file("input");
  sr::fuzz::write_file(path, bytes);
  const sr::TextFile file = sr::open_text_file_read_only(path);
  if (file == 0) sr::fuzz::fail("open", path, "0");
  const Detected expected = model_detect(bytes);
  const int format = sr::detect_string_format(file);
  if (format != expected.format) {
    sr::fuzz::fail("detected format", std::to_string(expected.format), std::to_string(format));
  }
  if (sr::text_file_position(file) != static_cast<std::int64_t>(expected.marker_length)) {
    sr::fuzz::fail("position after the marker", std::to_string(expected.marker_length),
                   std::to_string(sr::text_file_position(file)));
  }
  const std::vector<std::string> lines = read_all_lines(file, format, bytes.size());
  sr::close_text_file(file);
  const std::vector<std::string> want = model_lines(bytes.substr(expected.marker_length), format);
  if (lines != want) sr::fuzz::fail("lines read", describe(want), describe(lines));
}

// Lines without line-end bytes, written in `format` behind its marker, read back unchanged.
void check_round_trip(std::string_view bytes, int format) {
  std::vector<std::string> lines = sr::fuzz::split_byte_lines(bytes);
  const std::string path = scratch().file("written");
  const sr::TextFile out = sr::create_text_file(path);
  if (out == 0) sr::fuzz::fail("create", path, "0");
  sr::write_string_format_marker(out, format);
  for (const std::string& line : lines) sr::write_text_file_line(out, line, format);
  sr::close_text_file(out);

  const std::string written = sr::fuzz::read_file(path);
  const sr::TextFile in = sr::open_text_file_read_only(path);
  // Without a marker the text itself may look like one; such a file is read from its start.
  const int detected = format == sr::StringFormat::ascii ? format : sr::detect_string_format(in);
  if (detected != format) {
    sr::fuzz::fail("format of a written file", std::to_string(format), std::to_string(detected));
  }
  const std::vector<std::string> back = read_all_lines(in, format, written.size());
  sr::close_text_file(in);
  if (back != lines) sr::fuzz::fail("lines written and read back", describe(lines), describe(back));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool initialised = [] {
    sr::init_text_files();
    return true;
  }();
  (void)initialised;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  check_reading(bytes);
  // The first byte picks the format of the round trip, so each input tries one of them.
  const int format = size == 0 ? sr::StringFormat::ascii : 1 + data[0] % 6;
  check_round_trip(bytes, format);
  return 0;
}
