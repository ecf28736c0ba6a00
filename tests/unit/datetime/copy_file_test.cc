#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <string>

#include <gtest/gtest.h>

#include "runtime/datetime/copy_blocks.h"
#include "runtime/datetime/files.h"
#include "tests/unit/datetime/temp_dir.h"

namespace sr {
namespace {

using std::string_literals::operator""s;

// Bytes that differ from block to block, so a repeated or skipped block shows.
std::string pattern(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 7 + i / 512000);
  return bytes;
}

bool exists(const std::string& path) {
  struct stat status {};
  return lstat(path.c_str(), &status) == 0;
}

TEST(CopyFile, CopiesEveryByteAroundTheBlockSize) {
  testing::TempDir dir;
  for (const std::size_t size : {0, 1, 511999, 512000, 512001, 1048576}) {
    SCOPED_TRACE(size);
    const std::string contents = pattern(size);
    testing::write_file(dir / "source", contents);
    // A longer old destination must not leave a tail behind.
    testing::write_file(dir / "destination", std::string(size + 100, 'z'));
    EXPECT_EQ(copy_file(dir / "source", dir / "destination"), 1);
    EXPECT_EQ(testing::read_file(dir / "destination"), contents);
  }
}

TEST(CopyFile, NewDestinationGetsModeMaskedByUmask) {
  testing::TempDir dir;
  testing::write_file(dir / "source", "x");
  for (const mode_t mask : {mode_t{022}, mode_t{077}}) {
    SCOPED_TRACE(mask);
    const std::string destination = dir / ("destination" + std::to_string(mask));
    const mode_t old = umask(mask);
    EXPECT_EQ(copy_file(dir / "source", destination), 1);
    umask(old);
    struct stat status {};
    ASSERT_EQ(stat(destination.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0644 & ~mask);
  }
}

TEST(CopyFile, RefusesSourcesThatAreNoRegularFile) {
  testing::TempDir dir;
  ASSERT_EQ(mkdir((dir / "folder").c_str(), 0700), 0);
  // Nobody ever writes to this pipe: opening or reading it must not wait.
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  testing::write_file(dir / "file", "x");
  struct Row {
    const char* name;
    std::string source;
  };
  const Row rows[] = {
      {"missing source", dir / "missing"},
      {"directory", dir / "folder"},
      {"named pipe", dir / "fifo"},
      {"endless device", "/dev/zero"},
      {"path cut by a NUL", dir / "file" + "\0x"s},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string destination = dir / "destination";
    EXPECT_EQ(copy_file(row.source, destination), 0);
    EXPECT_FALSE(exists(destination)) << "the destination must not be created";
  }
}

TEST(CopyFile, NeverWritesThroughAnUntrustedDestination) {
  testing::TempDir dir;
  testing::write_file(dir / "source", "new contents");
  testing::write_file(dir / "victim", "precious");
  ASSERT_EQ(symlink((dir / "victim").c_str(), (dir / "link").c_str()), 0);
  ASSERT_EQ(symlink((dir / "not_there").c_str(), (dir / "dangling").c_str()), 0);
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  ASSERT_EQ(mkdir((dir / "folder").c_str(), 0700), 0);
  ASSERT_EQ(link((dir / "source").c_str(), (dir / "hard_link").c_str()), 0);
  struct Row {
    const char* name;
    std::string destination;
  };
  const Row rows[] = {
      {"symbolic link to a file", dir / "link"},
      {"dangling symbolic link", dir / "dangling"},
      {"named pipe without reader", dir / "fifo"},
      {"directory", dir / "folder"},
      {"the source itself", dir / "source"},
      {"a hard link to the source", dir / "hard_link"},
      {"path cut by a NUL", dir / "victim" + "\0x"s},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(copy_file(dir / "source", row.destination), 0);
  }
  EXPECT_EQ(testing::read_file(dir / "victim"), "precious");
  EXPECT_EQ(testing::read_file(dir / "source"), "new contents");
  EXPECT_FALSE(exists(dir / "not_there"));
  struct stat status {};
  ASSERT_EQ(lstat((dir / "link").c_str(), &status), 0);
  EXPECT_TRUE(S_ISLNK(status.st_mode));
}

TEST(CopyFile, LeavesAnotherUsersFileUntouched) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give a file away";
  testing::TempDir dir;
  testing::write_file(dir / "source", "new contents");
  testing::write_file(dir / "foreign", "theirs");
  ASSERT_EQ(chown((dir / "foreign").c_str(), 65534, 65534), 0);
  EXPECT_EQ(copy_file(dir / "source", dir / "foreign"), 0);
  EXPECT_EQ(testing::read_file(dir / "foreign"), "theirs");
}

// A file under /sys that claims more bytes than it holds, if one can be read here.
std::string short_sys_file() {
  for (const char* path : {"/sys/kernel/mm/transparent_hugepage/enabled", "/sys/power/state",
                           "/sys/kernel/profiling", "/sys/kernel/address_bits"}) {
    struct stat status {};
    const std::string contents = testing::read_file(path);
    if (stat(path, &status) == 0 && S_ISREG(status.st_mode) && !contents.empty() &&
        static_cast<off_t>(contents.size()) < status.st_size) {
      return path;
    }
  }
  return "";
}

TEST(CopyFile, ShortReadFails) {
  const std::string source = short_sys_file();
  if (source.empty()) GTEST_SKIP() << "no file with an overstated size found";
  testing::TempDir dir;
  EXPECT_EQ(copy_file(source, dir / "destination"), 0);
}

// One pipe, both ends closed on destruction.
struct Pipe {
  int read_end = -1, write_end = -1;
  Pipe() {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) == 0) {
      read_end = ends[0];
      write_end = ends[1];
    }
  }
  ~Pipe() {
    if (read_end >= 0) close(read_end);
    if (write_end >= 0) close(write_end);
  }
  void close_write() {
    close(write_end);
    write_end = -1;
  }
};

TEST(CopyBlocks, FailsWhenTheSourceEndsEarly) {
  testing::TempDir dir;
  const int out = open((dir / "out").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(out, 0);
  struct Row {
    const char* name;
    std::string available;
    std::int64_t size;
    bool ok;
  };
  const Row rows[] = {
      {"all bytes there", "abcdef", 6, true},
      {"one byte missing", "abcde", 6, false},
      {"nothing there", "", 3, false},
      {"zero bytes asked", "", 0, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Pipe source;
    ASSERT_EQ(write(source.write_end, row.available.data(), row.available.size()),
              static_cast<ssize_t>(row.available.size()));
    source.close_write();
    EXPECT_EQ(copy_blocks(source.read_end, out, row.size), row.ok);
  }
  close(out);
}

TEST(CopyBlocks, FailsWhenAWriteFails) {
  testing::TempDir dir;
  testing::write_file(dir / "in", pattern(1000));
  const int in = open((dir / "in").c_str(), O_RDONLY | O_CLOEXEC);
  const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(in, 0);
  if (full < 0) {
    close(in);
    GTEST_SKIP() << "no /dev/full";
  }
  EXPECT_FALSE(copy_blocks(in, full, 1000));
  close(full);
  close(in);
}

}  // namespace
}  // namespace sr
