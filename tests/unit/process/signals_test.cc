#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "runtime/process/process.h"
#include "tests/unit/process/process_test_support.h"

namespace sr {
namespace {

std::string probe_output() {
  ProgramHandle handle =
      start_program(SR_SIGNAL_PROBE, "", "", ProgramFlag::open | ProgramFlag::read);
  if (handle == 0) return "not started";
  std::string output = testing::read_all_output(handle);
  close_program(handle);
  return output;
}

TEST(ChildSignals, ChildStartsWithDefaultsWhateverWeIgnoreOrBlock) {
  init_child_programs();
  struct sigaction ignore {
  }, old_int{};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGINT, &ignore, &old_int);
  // A signal above 32, so that the upper half of the ignored set is reset as well.
  struct sigaction old_rt {};
  ::sigaction(SIGRTMIN + 5, &ignore, &old_rt);
  sigset_t usr1, old_mask;
  sigemptyset(&usr1);
  sigaddset(&usr1, SIGUSR1);
  ::pthread_sigmask(SIG_BLOCK, &usr1, &old_mask);

  EXPECT_EQ(probe_output(), "SIGPIPE default\nSIGINT default\nSIGRTMIN+5 default\nmask empty\n");

  ::pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  ::sigaction(SIGINT, &old_int, nullptr);
  ::sigaction(SIGRTMIN + 5, &old_rt, nullptr);
  struct sigaction pipe {};
  ::sigaction(SIGPIPE, nullptr, &pipe);
  EXPECT_EQ(pipe.sa_handler, SIG_IGN);  // this process still ignores it
}

}  // namespace
}  // namespace sr
