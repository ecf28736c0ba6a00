// Starting an open file: what runs is the file that was opened, and a refused exec comes back as
// the system's reason instead of a program that silently ends.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "runtime/process/process.h"
#include "tests/unit/process/process_test_support.h"

namespace sr {
namespace {

using testing::TempDir;
using testing::write_file;

constexpr int kFlags = ProgramFlag::open | ProgramFlag::read;

std::string all_output(ProgramHandle program) {
  std::string text;
  char buffer[256];
  int n;
  while ((n = read_program_data(program, buffer, sizeof buffer)) > 0) text.append(buffer, n);
  return text;
}

class ProgramFile : public ::testing::Test {
 protected:
  void TearDown() override {
    if (fd_ >= 0) close(fd_);
  }
  int open_path(const std::string& path) { return fd_ = open(path.c_str(), O_PATH | O_CLOEXEC); }

  TempDir dir_;
  int fd_ = -1;
};

TEST_F(ProgramFile, RunsTheOpenedFileWhateverBecomesOfItsName) {
  struct Row {
    const char* name;
    std::string first, second;
  } rows[] = {
      // A #! program needs the descriptor to survive the exec.
      {"#! program", "#!/bin/sh\necho first \"$@\"\n", "#!/bin/sh\necho second\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string path = dir_ / "exe";
    write_file(path, row.first, 0700);
    ASSERT_GE(open_path(path), 0);
    // The name now holds another program, as when another run replaces the cached file.
    const std::string other = dir_ / "other";
    write_file(other, row.second, 0700);
    ASSERT_EQ(rename(other.c_str(), path.c_str()), 0);
    int exec_error = -1;
    ProgramHandle program = start_program_file(fd_, path, "a \"b c\"", "", kFlags, exec_error);
    ASSERT_NE(program, 0);
    EXPECT_EQ(exec_error, 0);
    EXPECT_EQ(all_output(program), "first a b c\n");
    close_program(program);
  }
}

TEST_F(ProgramFile, BinaryRunsUnderTheGivenName) {
  ASSERT_GE(open_path(SR_PRINT_ARGS), 0);
  int exec_error = -1;
  ProgramHandle program = start_program_file(fd_, "/tmp/shown-name", "x", "", kFlags, exec_error);
  ASSERT_NE(program, 0);
  EXPECT_EQ(all_output(program), "[/tmp/shown-name]\n[x]\n");
  close_program(program);
}

TEST_F(ProgramFile, RefusedExecReturnsItsReason) {
  struct Row {
    const char* name;
    std::string content;
    int mode;
    int error;
  } rows[] = {
      {"no execute permission", "#!/bin/sh\necho hi\n", 0600, EACCES},
      {"unknown format", "plain text, no interpreter\n", 0700, ENOEXEC},
      {"missing interpreter", "#!/nonexistent/sh\n", 0700, ENOENT},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string path = dir_ / row.name;
    write_file(path, row.content, row.mode);
    const int fd = open(path.c_str(), O_PATH | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    int exec_error = 0;
    EXPECT_EQ(start_program_file(fd, path, "", "", kFlags, exec_error), 0);
    EXPECT_EQ(exec_error, row.error);
    close(fd);
  }
}

}  // namespace
}  // namespace sr
