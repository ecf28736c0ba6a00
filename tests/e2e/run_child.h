// Starts one program with exactly the given arguments and environment, feeds its standard input
// and collects both output streams without deadlock, under an overall time limit.
#pragma once

#include <string>
#include <vector>

#include "tests/e2e/runner_sandbox.h"

namespace sr::test {

struct ChildLaunch {
  std::vector<std::string> argv;  // argv[0] is the program's path
  std::vector<std::string> env;   // "NAME=value" entries, the whole environment
  std::string cwd;
  std::string stdin_data;
  int timeout_ms = 30000;
};

// On time-out the child is killed with SIGKILL and `timed_out` is set; the caller reports it.
RunResult run_child(const ChildLaunch& launch);

}  // namespace sr::test
