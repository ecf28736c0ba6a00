#include <gtest/gtest.h>

#include <string>

#include "runtime/textfile/textfile.h"
#include "tests/unit/textfile/temp_dir.h"

namespace sr {
namespace {

using namespace std::string_literals;
using testing::read_file;
using testing::size_on_disk;
using testing::TempDir;
using testing::write_file;

TEST(TextFileBuffer, WritesReachTheDiskByTheBufferRules) {
  struct Row {
    const char* name;
    std::size_t first;
    std::size_t second;
    std::uintmax_t on_disk;  // before close
  };
  const Row rows[] = {
      {"4095 bytes stay pending", 4095, 0, 0},
      {"4096 bytes go straight to the file", 4096, 0, 4096},
      {"4097 bytes go straight to the file", 4097, 0, 4097},
      {"pending bytes go first, then a large write", 1, 4096, 4097},
      {"a write that fills the buffer exactly flushes the pending ones", 4095, 1, 4095},
      {"small writes share the buffer", 100, 200, 0},
  };
  TempDir dir;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::string first(row.first, 'a');
    std::string second(row.second, 'b');
    TextFile file = create_text_file(dir.file("f"));
    ASSERT_NE(file, 0);
    EXPECT_EQ(write_text_file_string(file, first, StringFormat::ascii),
              static_cast<int>(row.first));
    EXPECT_EQ(write_text_file_string(file, second, StringFormat::ascii),
              static_cast<int>(row.second));
    EXPECT_EQ(size_on_disk(dir.file("f")), row.on_disk);
    EXPECT_EQ(text_file_position(file), static_cast<std::int64_t>(row.first + row.second));
    close_text_file(file);
    EXPECT_EQ(read_file(dir.file("f")), first + second);
  }
}

TEST(TextFileBuffer, ReadsAcrossARefill) {
  TempDir dir;
  std::string long_line(5000, 'x');
  write_file(dir.file("f"), "ab\n" + long_line + "\ntail\n");
  TextFile file = open_text_file_read_only(dir.file("f"));
  EXPECT_EQ(read_text_file_line(file, StringFormat::ascii), "ab");
  EXPECT_EQ(text_file_position(file), 3);
  EXPECT_EQ(read_text_file_line(file, StringFormat::ascii), long_line);
  EXPECT_EQ(text_file_position(file), 5004);
  EXPECT_EQ(read_text_file_line(file, StringFormat::ascii), "tail");
  EXPECT_EQ(text_file_at_end(file), 1);
  close_text_file(file);
}

TEST(TextFileBuffer, WriteAfterPartialReadLandsAtTheLogicalPosition) {
  struct Row {
    const char* name;
    std::string first_line;
  };
  const Row rows[] = {
      {"inside the first buffer", "line1"},
      {"after a refill", std::string(5000, 'x')},
      {"right at the buffer end", std::string(4095, 'y')},
  };
  TempDir dir;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    write_file(dir.file("f"), row.first_line + "\nline2\nline3\n");
    TextFile file = open_text_file(dir.file("f"));
    ASSERT_NE(file, 0);
    EXPECT_EQ(read_text_file_line(file, StringFormat::ascii), row.first_line);
    write_text_file_string(file, "XX", StringFormat::ascii);
    EXPECT_EQ(text_file_position(file), static_cast<std::int64_t>(row.first_line.size() + 3));
    // Reading again writes the pending bytes first and goes on behind them.
    EXPECT_EQ(read_text_file_line(file, StringFormat::ascii), "ne2");
    EXPECT_EQ(read_file(dir.file("f")), row.first_line + "\nXXne2\nline3\n");
    close_text_file(file);
    EXPECT_EQ(read_file(dir.file("f")), row.first_line + "\nXXne2\nline3\n");
  }
}

TEST(TextFileBuffer, RepositioningWritesPendingBytesAndRereads) {
  TempDir dir;
  TextFile file = create_text_file(dir.file("f"));
  write_text_file_line(file, "hello", StringFormat::ascii);
  EXPECT_EQ(size_on_disk(dir.file("f")), 0u);
  set_text_file_position(file, 1);
  EXPECT_EQ(read_file(dir.file("f")), "hello\n");
  EXPECT_EQ(text_file_position(file), 1);
  EXPECT_EQ(read_text_file_line(file, StringFormat::ascii), "ello");
  EXPECT_EQ(text_file_at_end(file), 1);
  set_text_file_position(file, 0);
  EXPECT_EQ(text_file_at_end(file), 0);
  EXPECT_EQ(read_text_file_line(file, StringFormat::ascii), "hello");
  close_text_file(file);
}

TEST(TextFileBuffer, AtEndKeepsTheByteItLookedAt) {
  TempDir dir;
  write_file(dir.file("f"), "ab");
  TextFile file = open_text_file_read_only(dir.file("f"));
  EXPECT_EQ(text_file_at_end(file), 0);
  EXPECT_EQ(text_file_at_end(file), 0);
  EXPECT_EQ(text_file_position(file), 0);
  EXPECT_EQ(read_text_file_line(file, StringFormat::ascii), "ab");
  EXPECT_EQ(text_file_at_end(file), 1);
  EXPECT_EQ(read_text_file_line(file, StringFormat::ascii), "");
  close_text_file(file);
}

TEST(TextFileBuffer, PendingBytesReachTheDiskAtCloseAndShutdown) {
  TempDir dir;
  TextFile closed = create_text_file(dir.file("closed"));
  TextFile left_open = create_text_file(dir.file("open"));
  TextFile other = open_text_file(dir.file("other"));
  write_text_file_line(closed, "one", StringFormat::ascii);
  write_text_file_line(left_open, "two", StringFormat::utf16le);
  write_string_format_marker(other, StringFormat::utf8);
  EXPECT_EQ(size_on_disk(dir.file("open")), 0u);

  close_text_file(closed);
  EXPECT_EQ(read_file(dir.file("closed")), "one\n");
  shutdown_text_files();
  EXPECT_EQ(read_file(dir.file("open")), "t\0w\0o\0\n\0"s);
  EXPECT_EQ(read_file(dir.file("other")), "\xEF\xBB\xBF");
  EXPECT_EQ(text_file_position(left_open), -1);
  EXPECT_EQ(text_file_position(other), -1);
  init_text_files();
}

TEST(TextFileHandles, HandlesAreDistinctAndNonZero) {
  TempDir dir;
  TextFile a = create_text_file(dir.file("a"));
  TextFile b = create_text_file(dir.file("b"));
  EXPECT_NE(a, 0);
  EXPECT_NE(b, 0);
  EXPECT_NE(a, b);
  close_text_file(a);
  TextFile c = create_text_file(dir.file("c"));
  // A closed handle must not reach the file opened after it.
  EXPECT_NE(c, a);
  close_text_file(b);
  close_text_file(c);
}

TEST(TextFileHandles, HandlesNotOpenGiveNeutralResults) {
  TempDir dir;
  TextFile closed = create_text_file(dir.file("f"));
  close_text_file(closed);
  const TextFile handles[] = {0, -1, 987654, closed};
  for (TextFile handle : handles) {
    SCOPED_TRACE(handle);
    EXPECT_EQ(text_file_at_end(handle), 0);
    EXPECT_EQ(read_text_file_line(handle, StringFormat::ascii), "");
    EXPECT_EQ(write_text_file_string(handle, "x", StringFormat::ascii), 0);
    EXPECT_EQ(write_text_file_line(handle, "x", StringFormat::ascii), 0);
    EXPECT_EQ(detect_string_format(handle), StringFormat::ascii);
    EXPECT_EQ(write_string_format_marker(handle, StringFormat::utf8), 0);
    EXPECT_EQ(text_file_position(handle), -1);
    set_text_file_position(handle, 0);
    close_text_file(handle);
  }
  EXPECT_EQ(read_file(dir.file("f")), "");
}

}  // namespace
}  // namespace sr
