#include "runtime/files/shared_folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace sr {
namespace {

class SharedFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/shared_folder_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    std::ofstream(dir_ + "/file") << "contents";
    ASSERT_EQ(symlink((dir_ + "/file").c_str(), (dir_ + "/link").c_str()), 0);
    ASSERT_EQ(mkfifo((dir_ + "/fifo").c_str(), 0600), 0);
    ASSERT_EQ(mkdir((dir_ + "/folder").c_str(), 0700), 0);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string dir_;
};

bool is_blocking(const UniqueFd& fd) {
  return (fcntl(fd.get(), F_GETFL) & O_NONBLOCK) == 0;
}

// A FIFO without a writer would block an ordinary open for reading; each call returns at once.
TEST_F(SharedFolderTest, OnlyRegularFilesPassAndStayBlocking) {
  struct Row {
    const char* name;
    bool own_opens;
    bool regular_opens;
  };
  const Row rows[] = {
      {"file", true, true},     {"link", false, true},     {"fifo", false, false},
      {"folder", false, false}, {"missing", false, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string path = dir_ + "/" + row.name;
    struct stat status {};
    const UniqueFd own = open_own_file(path.c_str(), O_RDONLY, 0, status);
    EXPECT_EQ(static_cast<bool>(own), row.own_opens);
    if (own) {
      EXPECT_TRUE(is_blocking(own));
    }
    const UniqueFd regular = open_regular_file(path.c_str(), status);
    EXPECT_EQ(static_cast<bool>(regular), row.regular_opens);
    if (regular) {
      EXPECT_TRUE(is_blocking(regular));
    }
  }
}

TEST_F(SharedFolderTest, CreatesWithModeAndReportsWhoMayWrite) {
  const mode_t saved = umask(0);
  struct stat status {};
  const UniqueFd created = open_own_file((dir_ + "/new").c_str(), O_RDWR | O_CREAT, 0620, status);
  umask(saved);
  ASSERT_TRUE(created);
  EXPECT_TRUE(is_own_regular(status));
  EXPECT_TRUE(others_may_write(status));
  EXPECT_TRUE(open_own_file((dir_ + "/file").c_str(), O_PATH, 0, status)) << "O_PATH opens too";
  EXPECT_EQ(status.st_size, 8);
}

}  // namespace
}  // namespace sr
