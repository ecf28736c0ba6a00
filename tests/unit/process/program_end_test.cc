#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "runtime/process/process.h"
#include "tests/unit/process/process_test_support.h"

namespace sr {
namespace {

using testing::start_sh;

class ProgramEnd : public ::testing::Test {
 protected:
  void SetUp() override { init_child_programs(); }
};

TEST_F(ProgramEnd, ExitCodes) {
  testing::TempDir dir;
  testing::write_file(dir / "broken", "#!/nonexistent/interpreter\n", 0755);
  struct Row {
    const char* name;
    std::string program;
    std::string arguments;
    bool kill;
    int expected;
  };
  const Row rows[] = {
      {"exit status", "/bin/sh", "-c \"exit 3\"", false, 3},
      {"status above 127", "/bin/sh", "-c \"exit 200\"", false, 200},
      {"killed", "/bin/sh", "-c \"exec sleep 30\"", true, 1},
      {"exec fails after the handle came back", dir / "broken", "", false, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ProgramHandle handle = start_program(row.program, row.arguments, "", ProgramFlag::open);
    ASSERT_NE(handle, 0);
    if (row.kill) kill_program(handle);
    EXPECT_TRUE(wait_program(handle, -1));
    EXPECT_EQ(program_exit_code(handle), row.expected);
    close_program(handle);
  }
}

TEST_F(ProgramEnd, OpenWithWaitHasTheExitCodeAtOnce) {
  ProgramHandle handle = start_sh("exit 4", ProgramFlag::wait);
  ASSERT_NE(handle, 0);
  EXPECT_EQ(program_exit_code(handle), 4);
  EXPECT_TRUE(wait_program(handle, 0));
  close_program(handle);
}

TEST_F(ProgramEnd, WaitWithoutOpenGivesOneWhateverTheStatus) {
  EXPECT_EQ(start_program("/bin/sh", "-c \"exit 9\"", "", ProgramFlag::wait), 1);
}

TEST_F(ProgramEnd, DetachedStartRunsTheProgram) {
  testing::TempDir dir;
  std::string fifo = dir / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(start_program("/bin/sh", testing::sh_script("echo done > " + fifo), "", 0), 1);
  std::ifstream in(fifo);  // opens once the program opened its end
  std::string line;
  std::getline(in, line);
  EXPECT_EQ(line, "done");
}

TEST_F(ProgramEnd, WaitProgramWithAndWithoutLimit) {
  ProgramHandle handle = start_sh("read x; exit 0", ProgramFlag::write);
  ASSERT_NE(handle, 0);
  EXPECT_FALSE(wait_program(handle, 0));
  EXPECT_FALSE(wait_program(handle, 20));
  EXPECT_TRUE(program_running(handle));
  EXPECT_EQ(program_exit_code(handle), -1);
  close_program_input(handle);
  EXPECT_TRUE(wait_program(handle, 60000));
  EXPECT_TRUE(wait_program(handle, 0));
  EXPECT_FALSE(program_running(handle));
  EXPECT_EQ(program_exit_code(handle), 0);
  close_program(handle);
}

TEST_F(ProgramEnd, ProgramRunningFollowsTheOutput) {
  ProgramHandle handle = start_sh("echo one", ProgramFlag::read);
  ASSERT_NE(handle, 0);
  EXPECT_TRUE(program_running(handle));  // no read has met the end yet
  EXPECT_EQ(read_program_output_line(handle), "one");
  EXPECT_EQ(read_program_output_line(handle), "");
  EXPECT_FALSE(program_running(handle));
  EXPECT_EQ(program_exit_code(handle), 0);
  close_program(handle);
}

TEST_F(ProgramEnd, CloseLeavesTheProgramRunning) {
  ProgramHandle handle = start_sh("echo $$; exec sleep 30", ProgramFlag::read);
  ASSERT_NE(handle, 0);
  pid_t pid = std::stoi(read_program_output_line(handle));
  close_program(handle);
  EXPECT_EQ(::kill(pid, 0), 0);
  ::kill(pid, SIGKILL);
}

// Nobody asks for its code after the close: still the ended program must not stay a zombie.
TEST_F(ProgramEnd, ProgramClosedWhileRunningIsCollectedWhenItEnds) {
  ProgramHandle handle = start_sh("echo $$; read x", ProgramFlag::read | ProgramFlag::write);
  ASSERT_NE(handle, 0);
  const pid_t pid = std::stoi(read_program_output_line(handle));
  close_program(handle);  // closes its input, so the program ends
  siginfo_t info{};
  // Returns once it has ended (or at once when already collected), collecting nothing.
  ::waitid(P_PID, pid, &info, WEXITED | WNOWAIT);
  bool collected = false;
  for (int i = 0; i < 10000 && !collected; ++i) {
    collected = ::kill(pid, 0) != 0;
    if (!collected) ::usleep(1000);
  }
  EXPECT_TRUE(collected);
}

TEST_F(ProgramEnd, EndedDescriptorSignalsTheStoredExitCode) {
  ProgramHandle handle = start_sh("read x; exit 2", ProgramFlag::write);
  ASSERT_NE(handle, 0);
  int ended = program_descriptors(handle).ended;
  ASSERT_GE(ended, 0);
  pollfd entry{ended, POLLIN, 0};
  EXPECT_EQ(::poll(&entry, 1, 0), 0);
  close_program_input(handle);
  testing::wait_readable(ended);
  EXPECT_EQ(program_exit_code(handle), 2);
  close_program(handle);
}

TEST_F(ProgramEnd, CloseRightAfterStartRecordsNothingAndBreaksNothing) {
  for (int i = 0; i < 50; ++i) {
    ProgramHandle handle = start_sh("exit 0", ProgramFlag::read | ProgramFlag::error);
    ASSERT_NE(handle, 0);
    close_program(handle);
  }
  ProgramHandle last = start_sh("exit 6", 0);
  ASSERT_TRUE(wait_program(last, -1));
  EXPECT_EQ(program_exit_code(last), 6);
  close_program(last);
}

}  // namespace
}  // namespace sr
