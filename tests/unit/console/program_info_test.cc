#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "runtime/console/console.h"
#include "runtime/console/read_link.h"

namespace sr {
namespace {

namespace fs = std::filesystem;

// A fresh folder under /tmp, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    char name[] = "/tmp/sr_console_test_XXXXXX";
    path_ = mkdtemp(name) ? name : "";
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

TEST(ReadLink, ReturnsTargetsOfAnyLengthWhole) {
  TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  // Around the first size of 255 and each growth step of 256.
  for (const std::size_t length : {1, 254, 255, 256, 510, 511, 512, 767, 1000, 4000}) {
    SCOPED_TRACE(length);
    std::string target = "/";
    for (std::size_t i = 1; i < length; ++i) target += static_cast<char>('a' + i % 26);
    const fs::path link = dir.path() / ("link" + std::to_string(length));
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    EXPECT_EQ(read_link(link.c_str()), target);
  }
}

TEST(ReadLink, FailsForMissingPathsAndNonLinks) {
  TempDir dir;
  const fs::path plain = dir.path() / "plain";
  std::ofstream(plain) << "x";
  EXPECT_EQ(read_link(plain.c_str()), std::nullopt);
  EXPECT_EQ(read_link((dir.path() / "missing").c_str()), std::nullopt);
}

TEST(ProgramParameter, CountsFromTheFirstArgumentAfterTheName) {
  char name[] = "/usr/lib/scriptrunner/scriptrunner";
  char switches[] = "-w -f";
  char extra[] = "second";
  char* argv[] = {name, switches, extra, nullptr};
  struct Row {
    const char* name;
    int argc;
    int index;
    const char* expected;
  };
  const Row rows[] = {
      {"first argument", 3, 0, "-w -f"},       {"second argument", 3, 1, "second"},
      {"one past the last", 3, 2, ""},         {"negative index", 3, -1, ""},
      {"started without arguments", 1, 0, ""}, {"count promises an entry that is null", 4, 2, ""},
      {"no arguments at all", 0, 0, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    set_program_arguments(row.argc, argv);
    EXPECT_EQ(program_parameter(row.index), row.expected);
  }
  set_program_arguments(0, nullptr);
  EXPECT_EQ(program_parameter(0), "");
}

TEST(ProgramFilename, IsTheRunningExecutable) {
  EXPECT_EQ(fs::path(program_filename()), fs::canonical("/proc/self/exe"));
}

// Helper run inside a copy of this test program; writes what program_filename gives.
TEST(ProgramFilenameChild, DISABLED_WritesOwnPath) {
  const char* result_file = std::getenv("SR_PROGRAM_FILENAME_RESULT");
  ASSERT_NE(result_file, nullptr);
  std::ofstream(result_file) << program_filename();
}

TEST(ProgramFilename, LongPathIsReturnedWhole) {
  TempDir dir;
  fs::path folder = dir.path();
  while (folder.native().size() < 600) folder /= std::string(60, 'd');
  fs::create_directories(folder);
  const fs::path copy = folder / "console_test_copy";
  fs::copy_file("/proc/self/exe", copy);
  fs::permissions(copy, fs::perms::owner_all);
  const fs::path result = dir.path() / "result";

  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    setenv("SR_PROGRAM_FILENAME_RESULT", result.c_str(), 1);
    execl(copy.c_str(), copy.c_str(), "--gtest_also_run_disabled_tests",
          "--gtest_filter=ProgramFilenameChild.DISABLED_WritesOwnPath",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0);
  std::ifstream in(result);
  ASSERT_TRUE(in.is_open()) << "the copy did not run the helper";
  const std::string reported((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
  EXPECT_EQ(reported, copy.native());
}

}  // namespace
}  // namespace sr
