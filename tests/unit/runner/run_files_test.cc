#include "runner/run_files.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace sr {
namespace {

namespace fs = std::filesystem;

class RunFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/sr-run-files-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    dir_ = name;
    source_ = dir_ + "/exe.zr";
    folder_ = dir_ + "/private";
    std::ofstream(source_) << "x";
    fs::create_directory(folder_);
    std::ofstream(folder_ + "/exe") << "x";
    std::ofstream(folder_ + "/exe.tmp-AbCdEf") << "half-written";
    std::ofstream(dir_ + "/unrelated") << "x";
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Runs `body` in a child process, as the runner would, and returns its wait status.
  template <typename Body>
  int in_child(Body body) {
    const pid_t pid = fork();
    if (pid == 0) {
      body();
      _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
  }

  std::string dir_, source_, folder_;
};

TEST_F(RunFilesTest, TerminationRemovesWhatWasRememberedAndStillEndsTheProcess) {
  for (int signal : {SIGTERM, SIGHUP, SIGINT}) {
    SCOPED_TRACE(strsignal(signal));
    if (signal != SIGTERM) SetUp();  // fresh files for each signal
    const int status = in_child([&] {
      remove_run_files_on_termination();
      remember_run_file(source_);
      remember_run_folder(folder_);
      kill(getpid(), signal);
      pause();
    });
    ASSERT_TRUE(WIFSIGNALED(status)) << "the web server must still see the process end";
    EXPECT_EQ(WTERMSIG(status), signal);
    EXPECT_FALSE(fs::exists(source_));
    EXPECT_FALSE(fs::exists(folder_)) << "the folder goes with everything in it";
    EXPECT_TRUE(fs::exists(dir_ + "/unrelated"));
    if (signal != SIGINT) TearDown();
  }
}

TEST_F(RunFilesTest, ForgottenFileStays) {
  const int status = in_child([&] {
    remember_run_file(source_);
    remember_run_folder(folder_);
    forget_run_file(source_);
    remove_run_files();
  });
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_TRUE(fs::exists(source_)) << "handed over: another run's build may need it";
  EXPECT_FALSE(fs::exists(folder_));
}

}  // namespace
}  // namespace sr
