#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "runtime/process/process.h"
#include "tests/unit/process/process_test_support.h"

namespace sr {
namespace {

using testing::ScopedCwd;
using testing::ScopedEnv;
using testing::TempDir;
using testing::write_file;

constexpr const char* kTool = "sr-search-tool";

std::string exiting_with(int code) {
  return "#!/bin/sh\nexit " + std::to_string(code) + "\n";
}

// The exit code of the program that ran, or -2 when start_program refused.
int run(const std::string& program) {
  ProgramHandle handle = start_program(program, "", "", ProgramFlag::open | ProgramFlag::wait);
  if (handle == 0) return -2;
  int code = program_exit_code(handle);
  close_program(handle);
  return code;
}

class ProgramSearch : public ::testing::Test {
 protected:
  void SetUp() override {
    init_child_programs();
    write_file(here_ / kTool, exiting_with(5), 0755);
    write_file(on_path_ / kTool, exiting_with(6), 0755);
    std::filesystem::create_directory(on_path_ / "sub");
    write_file(on_path_ / "sub/tool", exiting_with(7), 0755);
    write_file(here_ / "plain", exiting_with(8), 0644);
    write_file(on_path_ / "plain", exiting_with(9), 0755);
    write_file(here_ / "empty", "", 0755);
    std::filesystem::create_directory(here_ / "folder");
    std::filesystem::create_symlink(here_ / kTool, here_ / "link");
  }

  TempDir here_;
  TempDir on_path_;
};

TEST_F(ProgramSearch, Rules) {
  ScopedCwd cwd(here_.path());
  const std::string dir = on_path_.path();
  struct Row {
    const char* name;
    std::string path;
    std::string program;
    int expected;
  };
  const Row rows[] = {
      {"bare name found in PATH", dir, kTool, 6},
      {"PATH piece ending in slash", dir + "/", kTool, 6},
      {"bare name only in the current directory", "/usr/bin", kTool, -2},
      {"empty pieces are not the current directory", "::" + dir + ":", kTool, 6},
      {"only empty pieces", "::", kTool, -2},
      {"dot-slash tested in place", dir, std::string("./") + kTool, 5},
      {"dot-slash not executable, no PATH search", dir, "./plain", -2},
      {"relative name with slash searched below PATH", dir, "sub/tool", 7},
      {"absolute path", "", here_ / kTool, 5},
      {"symbolic link followed", "", here_ / "link", 5},
      {"directory", dir, here_ / "folder", -2},
      {"empty file", dir, here_ / "empty", -2},
      {"not executable", dir, here_ / "plain", -2},
      {"missing", dir, here_ / "missing", -2},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ScopedEnv path("PATH", row.path.c_str());
    EXPECT_EQ(run(row.program), row.expected);
  }
}

TEST_F(ProgramSearch, PathUnsetFindsNothing) {
  ScopedEnv path("PATH", nullptr);
  EXPECT_EQ(run("sh"), -2);
  EXPECT_EQ(start_program("sh", "", "", ProgramFlag::wait), 0);
  EXPECT_EQ(run("/bin/sh"), 0);
}

TEST_F(ProgramSearch, NotFoundWithoutOpen) {
  EXPECT_EQ(start_program(here_ / "missing", "", "", ProgramFlag::wait), 0);
  EXPECT_EQ(start_program(here_ / "missing", "", "", 0), 0);
}

TEST_F(ProgramSearch, RunsTheTestedFileWhenItEntersAnotherDirectory) {
  ScopedCwd cwd(here_.path());
  ScopedEnv path("PATH", "sub");  // a relative PATH piece, found below here_ only
  std::filesystem::create_directory(here_ / "sub");
  write_file(here_ / ("sub/" + std::string(kTool)), exiting_with(4), 0755);
  struct Row {
    const char* name;
    std::string program;
    int expected;
  };
  const Row rows[] = {
      {"dot-slash name", std::string("./") + kTool, 5},
      {"found below a relative PATH piece", kTool, 4},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    // on_path_ holds another file of the same name, and a sub/ without it.
    ProgramHandle handle =
        start_program(row.program, "", on_path_.path(), ProgramFlag::open | ProgramFlag::wait);
    ASSERT_NE(handle, 0);
    EXPECT_EQ(program_exit_code(handle), row.expected);
    close_program(handle);
  }
}

TEST_F(ProgramSearch, DirectoryOfTheProgram) {
  std::string real = std::filesystem::canonical(here_.path());
  struct Row {
    const char* name;
    std::string directory;
    std::string expected;
  };
  const Row rows[] = {
      {"entered", here_.path(), real + "\n"},
      {"cannot be entered: inherited", here_ / "missing",
       std::filesystem::canonical(std::filesystem::current_path()).string() + "\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ProgramHandle handle = start_program("/bin/sh", "-c \"pwd -P\"", row.directory,
                                         ProgramFlag::open | ProgramFlag::read);
    ASSERT_NE(handle, 0);
    EXPECT_EQ(testing::read_all_output(handle), row.expected);
    close_program(handle);
  }
}

}  // namespace
}  // namespace sr
