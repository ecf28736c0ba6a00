#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <string>

#include <gtest/gtest.h>

#include "runtime/datetime/files.h"
#include "tests/unit/datetime/temp_dir.h"

namespace sr {
namespace {

using std::string_literals::operator""s;

void make_sparse(const std::string& path, off_t size) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, size), 0);
  close(fd);
}

TEST(FileSize, SizesAndSentinels) {
  testing::TempDir dir;
  testing::write_file(dir / "empty", "");
  testing::write_file(dir / "five", "12345");
  ASSERT_EQ(mkdir((dir / "folder").c_str(), 0700), 0);
  ASSERT_EQ(symlink((dir / "five").c_str(), (dir / "link").c_str()), 0);
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  make_sparse(dir / "largest", INT32_MAX);
  make_sparse(dir / "too_large", static_cast<off_t>(INT32_MAX) + 1);

  struct Row {
    const char* name;
    std::string path;
    std::int64_t expected;
  };
  const Row rows[] = {
      {"missing file", dir / "missing", -1},
      {"below a missing folder", dir / "missing/file", -1},
      {"directory", dir / "folder", -2},
      {"empty file", dir / "empty", 0},
      {"small file", dir / "five", 5},
      {"symbolic link is followed", dir / "link", 5},
      {"named pipe is not opened", dir / "fifo", 0},
      {"largest 32-bit size", dir / "largest", INT32_MAX},
      {"size beyond 32 bits", dir / "too_large", -1},
      {"path cut by a NUL names nothing", dir / "five" + "\0x"s, -1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(file_size(row.path), row.expected);
  }
}

TEST(FileDate, AccessOrModificationTime) {
  testing::TempDir dir;
  const std::string file = dir / "file";
  testing::write_file(file, "x");
  auto set_times = [&](time_t access, time_t modification) {
    const timespec times[2] = {{access, 0}, {modification, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
  };

  struct Row {
    const char* name;
    time_t access, modification;
    std::int32_t kind;
    std::int32_t expected;
  };
  const Row rows[] = {
      {"kind 1 is the access time", 1000000, 2000000, 1, 1000000},
      {"kind 0 is the modification time", 1000000, 2000000, 0, 2000000},
      {"kind 2 is the modification time", 1000000, 2000000, 2, 2000000},
      {"any other kind is the modification time", 1000000, 2000000, -7, 2000000},
      {"times before 1970", 5, -86400, 0, -86400},
      {"a time beyond 32 bits stays the latest", 5, 4294967296, 0, INT32_MAX},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    set_times(row.access, row.modification);
    EXPECT_EQ(file_date(file, row.kind), row.expected);
  }
  EXPECT_EQ(file_date(dir / "missing", 0), 0);
  EXPECT_EQ(file_date(dir / "missing", 1), 0);
}

TEST(DeleteFile, RemovesOnlyWhatUnlinkCanRemove) {
  testing::TempDir dir;
  testing::write_file(dir / "file", "x");
  ASSERT_EQ(mkdir((dir / "folder").c_str(), 0700), 0);

  EXPECT_EQ(delete_file(dir / "file" + "\0tail"s), 0);
  EXPECT_EQ(access((dir / "file").c_str(), F_OK), 0) << "a NUL must not shorten the path";
  EXPECT_EQ(delete_file(dir / "file"), 1);
  EXPECT_NE(access((dir / "file").c_str(), F_OK), 0);
  EXPECT_EQ(delete_file(dir / "file"), 0);
  EXPECT_EQ(delete_file(dir / "folder"), 0);
  EXPECT_EQ(access((dir / "folder").c_str(), F_OK), 0);
}

}  // namespace
}  // namespace sr
