#include <gtest/gtest.h>

#include <string>

#include "runtime/textfile/textfile.h"
#include "tests/unit/textfile/temp_dir.h"

namespace sr {
namespace {

using namespace std::string_literals;
using testing::read_file;
using testing::TempDir;
using testing::utf16le;
using testing::write_file;

TEST(DetectStringFormat, MarkerTableAndPositionAfterIt) {
  struct Row {
    const char* name;
    std::string content;
    int format;
    std::int64_t position;
  };
  const Row rows[] = {
      {"utf32le", "\xFF\xFE\x00\x00rest"s, StringFormat::utf32le, 4},
      {"utf32le exactly", "\xFF\xFE\x00\x00"s, StringFormat::utf32le, 4},
      {"utf16le", "\xFF\xFE\x41\x00"s, StringFormat::utf16le, 2},
      {"utf16le marker only", "\xFF\xFE"s, StringFormat::utf16le, 2},
      {"utf16le then one zero", "\xFF\xFE\x00"s, StringFormat::utf16le, 2},
      {"utf8", "\xEF\xBB\xBFx"s, StringFormat::utf8, 3},
      {"utf8 marker only", "\xEF\xBB\xBF"s, StringFormat::utf8, 3},
      {"utf16be", "\xFE\xFF\x00\x41"s, StringFormat::utf16be, 2},
      {"utf32be", "\x00\x00\xFF\xFEzz"s, StringFormat::utf32be, 4},
      {"reversed utf32be is no marker", "\x00\x00\xFE\xFF"s, StringFormat::ascii, 0},
      {"cut-off utf8 marker", "\xEF\xBB"s, StringFormat::ascii, 0},
      {"plain text", "#!/x\n"s, StringFormat::ascii, 0},
      {"one byte", "\xFF"s, StringFormat::ascii, 0},
      {"empty", ""s, StringFormat::ascii, 0},
  };
  TempDir dir;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    write_file(dir.file("f"), row.content);
    TextFile file = open_text_file_read_only(dir.file("f"));
    ASSERT_NE(file, 0);
    EXPECT_EQ(detect_string_format(file), row.format);
    EXPECT_EQ(text_file_position(file), row.position);
    close_text_file(file);
  }
}

TEST(DetectStringFormat, StartsAtTheCurrentPosition) {
  TempDir dir;
  write_file(dir.file("f"), "ab\xEF\xBB\xBFline\n");
  TextFile file = open_text_file_read_only(dir.file("f"));
  set_text_file_position(file, 2);
  EXPECT_EQ(detect_string_format(file), StringFormat::utf8);
  EXPECT_EQ(text_file_position(file), 5);
  EXPECT_EQ(read_text_file_line(file, StringFormat::utf8), "line");

  set_text_file_position(file, 1);
  EXPECT_EQ(detect_string_format(file), StringFormat::ascii);
  EXPECT_EQ(text_file_position(file), 1);
  close_text_file(file);
}

TEST(StringFormatMarker, WritesTheMarkerOfEachFormat) {
  struct Row {
    int format;
    std::string bytes;
  };
  const Row rows[] = {
      {StringFormat::utf16le, "\xFF\xFE"s},
      {StringFormat::utf8, "\xEF\xBB\xBF"s},
      {StringFormat::ascii, ""s},
      {StringFormat::utf16be, "\xFE\xFF"s},
      {StringFormat::utf32le, "\xFF\xFE\x00\x00"s},
      {StringFormat::utf32be, "\x00\x00\xFF\xFE"s},
      {0, ""s},
      {7, ""s},
      {-1, ""s},
  };
  TempDir dir;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.format);
    TextFile file = create_text_file(dir.file("f"));
    ASSERT_NE(file, 0);
    EXPECT_EQ(write_string_format_marker(file, row.format), static_cast<int>(row.bytes.size()));
    close_text_file(file);
    EXPECT_EQ(read_file(dir.file("f")), row.bytes);
    // What is written is detected again as the same format.
    if (!row.bytes.empty()) {
      file = open_text_file_read_only(dir.file("f"));
      EXPECT_EQ(detect_string_format(file), row.format);
      close_text_file(file);
    }
  }
}

TEST(StringFormatConversion, WritesTextInEachFormat) {
  struct Row {
    const char* name;
    int format;
    std::string text;
    bool line;
    std::string bytes;
  };
  const Row rows[] = {
      {"utf16le string", StringFormat::utf16le, "\xE9\n"s, false, "\xE9\x00\x0A\x00"s},
      {"utf8 string", StringFormat::utf8, "\xE9\n"s, false, "\xC3\xA9\x0A"s},
      {"ascii string", StringFormat::ascii, "\xE9\n"s, false, "\xE9\x0A"s},
      {"utf8 boundaries", StringFormat::utf8, "\x7F\x80\xFF"s, false, "\x7F\xC2\x80\xC3\xBF"s},
      {"utf16be unchanged", StringFormat::utf16be, "\xE9x"s, false, "\xE9x"s},
      {"utf32le unchanged", StringFormat::utf32le, "\xE9x"s, false, "\xE9x"s},
      {"utf32be unchanged", StringFormat::utf32be, "\xE9x"s, false, "\xE9x"s},
      {"unknown format unchanged", 9, "\xE9x"s, false, "\xE9x"s},
      {"empty string", StringFormat::utf16le, ""s, false, ""s},
      {"utf16le line", StringFormat::utf16le, "ab"s, true,
       "a\x00"s
       "b\x00\x0A\x00"s},
      {"utf8 line", StringFormat::utf8, "\xE9"s, true, "\xC3\xA9\x0A"s},
      {"empty utf16le line", StringFormat::utf16le, ""s, true, "\x0A\x00"s},
      {"empty ascii line", StringFormat::ascii, ""s, true, "\x0A"s},
  };
  TempDir dir;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TextFile file = create_text_file(dir.file("f"));
    ASSERT_NE(file, 0);
    int written = row.line ? write_text_file_line(file, row.text, row.format)
                           : write_text_file_string(file, row.text, row.format);
    EXPECT_EQ(written, static_cast<int>(row.bytes.size()));
    close_text_file(file);
    EXPECT_EQ(read_file(dir.file("f")), row.bytes);
  }
}

// The runner turns a script's first line into a comment this way.
TEST(StringFormatConversion, SemicolonAfterMarkerReplacesFirstCharacter) {
  struct Row {
    const char* name;
    std::string before;
    std::string after;
  };
  const Row rows[] = {
      {"utf16le", "\xFF\xFE"s + utf16le("#!/x\nrest\n"), "\xFF\xFE"s + utf16le(";!/x\nrest\n")},
      {"utf8", "\xEF\xBB\xBF#!/x\n\xC3\xA9\n"s, "\xEF\xBB\xBF;!/x\n\xC3\xA9\n"s},
      {"ascii", "#!/x\nrest\n"s, ";!/x\nrest\n"s},
      {"utf16be", "\xFE\xFF\x00#\x00!"s, "\xFE\xFF;#\x00!"s},
  };
  TempDir dir;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    write_file(dir.file("f"), row.before);
    TextFile file = open_text_file(dir.file("f"));
    ASSERT_NE(file, 0);
    write_text_file_string(file, ";", detect_string_format(file));
    close_text_file(file);
    EXPECT_EQ(read_file(dir.file("f")), row.after);
  }
}

TEST(StringFormatConversion, ConvertsBetweenFormatsLineByLine) {
  TempDir dir;
  write_file(dir.file("in"), "\xFF\xFE"s + utf16le("caf\xE9\r\nna\xEFve\r\n"));
  TextFile in = open_text_file_read_only(dir.file("in"));
  TextFile out = create_text_file(dir.file("out"));
  int format = detect_string_format(in);
  ASSERT_EQ(format, StringFormat::utf16le);
  write_string_format_marker(out, StringFormat::utf8);
  while (!text_file_at_end(in)) {
    write_text_file_line(out, read_text_file_line(in, format), StringFormat::utf8);
  }
  close_text_file(in);
  close_text_file(out);
  EXPECT_EQ(read_file(dir.file("out")),
            "\xEF\xBB\xBF"
            "caf\xC3\xA9\nna\xC3\xAFve\n");
}

}  // namespace
}  // namespace sr
