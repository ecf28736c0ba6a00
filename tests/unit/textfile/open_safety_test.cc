#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>

#include "runtime/textfile/textfile.h"
#include "tests/unit/textfile/temp_dir.h"

namespace sr {
namespace {

using testing::read_file;
using testing::TempDir;
using testing::write_file;

struct Opener {
  const char* name;
  std::function<TextFile(std::string_view)> open;
};

const Opener kWritableOpeners[] = {
    {"create_text_file", create_text_file},
    {"open_text_file", open_text_file},
};

TEST(TextFileOpen, CreateTruncatesAndOpenKeepsContents) {
  TempDir dir;
  write_file(dir.file("f"), "old contents\n");
  TextFile kept = open_text_file(dir.file("f"));
  ASSERT_NE(kept, 0);
  EXPECT_EQ(read_text_file_line(kept, StringFormat::ascii), "old contents");
  close_text_file(kept);
  EXPECT_EQ(read_file(dir.file("f")), "old contents\n");

  TextFile created = create_text_file(dir.file("f"));
  ASSERT_NE(created, 0);
  EXPECT_EQ(text_file_at_end(created), 1);
  close_text_file(created);
  EXPECT_EQ(read_file(dir.file("f")), "");

  TextFile missing = open_text_file(dir.file("new"));
  EXPECT_NE(missing, 0);
  close_text_file(missing);
  EXPECT_TRUE(std::filesystem::is_regular_file(dir.file("new")));

  EXPECT_EQ(open_text_file_read_only(dir.file("absent")), 0);
  EXPECT_FALSE(std::filesystem::exists(dir.file("absent")));
}

TEST(TextFileOpen, NeverWritesThroughASymbolicLink) {
  TempDir dir;
  for (const Opener& opener : kWritableOpeners) {
    SCOPED_TRACE(opener.name);
    write_file(dir.file("target"), "planted\n");
    std::filesystem::create_symlink(dir.file("target"), dir.file("link"));
    std::filesystem::create_symlink(dir.file("nowhere"), dir.file("dangling"));
    EXPECT_EQ(opener.open(dir.file("link")), 0);
    EXPECT_EQ(opener.open(dir.file("dangling")), 0);
    EXPECT_EQ(read_file(dir.file("target")), "planted\n");
    EXPECT_FALSE(std::filesystem::exists(dir.file("nowhere")));
    std::filesystem::remove(dir.file("link"));
    std::filesystem::remove(dir.file("dangling"));
  }
}

TEST(TextFileOpen, NeverWritesIntoAFileOfAnotherUser) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a file away";
  TempDir dir;
  for (const Opener& opener : kWritableOpeners) {
    SCOPED_TRACE(opener.name);
    write_file(dir.file("foreign"), "theirs\n");
    ASSERT_EQ(::chown(dir.file("foreign").c_str(), 65534, 65534), 0);
    EXPECT_EQ(opener.open(dir.file("foreign")), 0);
    EXPECT_EQ(read_file(dir.file("foreign")), "theirs\n");
  }
}

TEST(TextFileOpen, RefusesWhatIsNotARegularFile) {
  TempDir dir;
  ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
  std::filesystem::create_directory(dir.file("dir"));
  const Opener openers[] = {
      {"create_text_file", create_text_file},
      {"open_text_file", open_text_file},
      {"open_text_file_read_only", open_text_file_read_only},
  };
  // Without a writer a blocking open of the FIFO would never return.
  const std::string paths[] = {dir.file("fifo"), dir.file("dir"), "/dev/zero", "/dev/null"};
  for (const Opener& opener : openers) {
    for (const std::string& path : paths) {
      SCOPED_TRACE(std::string(opener.name) + " " + path);
      EXPECT_EQ(opener.open(path), 0);
    }
  }
  EXPECT_TRUE(std::filesystem::is_fifo(dir.file("fifo")));
}

TEST(TextFileOpen, PathWithAZeroByteIsRefused) {
  TempDir dir;
  std::string path = dir.file("f");
  path.push_back('\0');
  path += "x";
  EXPECT_EQ(create_text_file(path), 0);
  EXPECT_FALSE(std::filesystem::exists(dir.file("f")));
}

}  // namespace
}  // namespace sr
