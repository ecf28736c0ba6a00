#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/textfile/textfile.h"
#include "tests/unit/textfile/temp_dir.h"

namespace sr {
namespace {

using namespace std::string_literals;
using testing::TempDir;
using testing::utf16le;
using testing::write_file;

std::vector<std::string> read_all_lines(TextFile file, int format) {
  std::vector<std::string> lines;
  while (text_file_at_end(file) == 0) lines.push_back(read_text_file_line(file, format));
  return lines;
}

TEST(ReadTextFileLine, LineEndsAndConversions) {
  struct Row {
    const char* name;
    std::string content;
    int format;
    std::vector<std::string> lines;
  };
  const Row rows[] = {
      {"LF, CR and CR LF", "a\nb\rc\r\nd"s, StringFormat::ascii, {"a", "b", "c", "d"}},
      {"CR CR gives an empty line", "a\r\rb\n"s, StringFormat::ascii, {"a", "", "b"}},
      {"LF CR is two ends", "a\n\rb"s, StringFormat::ascii, {"a", "", "b"}},
      {"zero byte ends a line", "a\0b\n"s, StringFormat::ascii, {"a", "b"}},
      {"final line end adds no line", "a\nb\n"s, StringFormat::ascii, {"a", "b"}},
      {"lone CR at the end", "a\r"s, StringFormat::ascii, {"a"}},
      {"only a line end", "\n"s, StringFormat::ascii, {""}},
      {"empty file", ""s, StringFormat::ascii, {}},
      {"bytes above 127 as they are", "\xE9\xFF\n"s, StringFormat::ascii, {"\xE9\xFF"}},
      {"utf16be zero bytes end lines", "\x00\x41\x00\x0A"s, StringFormat::utf16be, {"", "A", ""}},
      {"utf16le line ends", utf16le("a\rb\r\nc\nd"), StringFormat::utf16le, {"a", "b", "c", "d"}},
      {"utf16le CR CR", utf16le("a\r\rb"), StringFormat::utf16le, {"a", "", "b"}},
      {"utf16le lone CR at the end", utf16le("a\r"), StringFormat::utf16le, {"a"}},
      {"utf16le zero unit",
       utf16le("a") + "\0\0"s + utf16le("b"),
       StringFormat::utf16le,
       {"a", "b"}},
      {"utf16le units above 255 left out",
       "\x41\x00\xAC\x20\x42\x00\x0A\x00"s,
       StringFormat::utf16le,
       {"AB"}},
      {"utf16le CR with a high byte is no line end",
       "\x0D\x01\x41\x00"s,
       StringFormat::utf16le,
       {"A"}},
      {"utf16le odd last byte", utf16le("ab") + "c"s, StringFormat::utf16le, {"ab"}},
      {"utf8 two-byte character", "\xC3\xA9t\xC3\xA9\n"s, StringFormat::utf8, {"\xE9t\xE9"}},
      {"utf8 character above 255 empties only its line",
       "x\xE2\x82\xAC\nnext\n"s,
       StringFormat::utf8,
       {"", "next"}},
      {"utf8 CR LF", "\xC2\xA0\r\nz"s, StringFormat::utf8, {"\xA0", "z"}},
  };
  TempDir dir;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    write_file(dir.file("f"), row.content);
    TextFile file = open_text_file_read_only(dir.file("f"));
    ASSERT_NE(file, 0);
    EXPECT_EQ(read_all_lines(file, row.format), row.lines);
    EXPECT_EQ(read_text_file_line(file, row.format), "");
    close_text_file(file);
  }
}

TEST(ReadTextFileLine, LongLinesAreReadWhole) {
  struct Row {
    const char* name;
    std::string line;
    int format;
    std::string content;
  };
  std::string ascii(3 * 4096 + 17, 'q');
  std::string text(9000, 'w');
  const Row rows[] = {
      {"ascii", ascii, StringFormat::ascii, ascii + "\r\nend"},
      {"utf16le", text, StringFormat::utf16le, utf16le(text + "\r\nend")},
      {"utf8", "\xE9" + text, StringFormat::utf8, "\xC3\xA9" + text + "\nend"},
  };
  TempDir dir;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    write_file(dir.file("f"), row.content);
    TextFile file = open_text_file_read_only(dir.file("f"));
    EXPECT_EQ(read_text_file_line(file, row.format), row.line);
    EXPECT_EQ(read_text_file_line(file, row.format), "end");
    EXPECT_EQ(text_file_at_end(file), 1);
    close_text_file(file);
  }
}

// A 16-bit unit can straddle two buffer refills when the line reading started at an odd
// offset; a CR just before it must not make the next read take bytes from outside the buffer.
TEST(ReadTextFileLine, PushBackAcrossARefill) {
  TempDir dir;
  std::string units = utf16le(std::string(2046, 'a') + "\rbc\n");
  write_file(dir.file("f"), "\n" + units);
  TextFile file = open_text_file_read_only(dir.file("f"));
  EXPECT_EQ(read_text_file_line(file, StringFormat::ascii), "");
  EXPECT_EQ(read_text_file_line(file, StringFormat::utf16le), std::string(2046, 'a'));
  EXPECT_EQ(text_file_position(file), 1 + 2 * 2047);
  EXPECT_EQ(read_text_file_line(file, StringFormat::utf16le), "bc");
  EXPECT_EQ(text_file_at_end(file), 1);
  close_text_file(file);
}

}  // namespace
}  // namespace sr
