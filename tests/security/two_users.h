// Two local users on one host: the runner runs under an unprivileged uid, as a web server starts
// it, and a second uid plays the attacker who can write to /tmp. Neither needs an account:
// setpriv switches to a bare uid. Switching needs root; without it the tests that depend on it
// skip, and the others run as the current user.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/e2e/runner_sandbox.h"

namespace sr::test {

#define SR_SKIP_UNLESS_ROOT()                                                                \
  if (geteuid() != 0)                                                                        \
  GTEST_SKIP() << "switching to a runner uid and an attacker uid needs root; run the suite " \
                  "as root (CI does)"

struct TwoUsers {
  uid_t runner;
  uid_t attacker;
};

// Each test case passes its own slot, so cases that CTest runs at once never share a uid and
// "files of the runner's uid in /tmp" means files of this case alone.
TwoUsers users_for_slot(int slot);

// The argument vector that starts a program as `uid` (its gid the same number, no supplementary
// groups) under `mask`; unchanged uid when the test is not root.
std::vector<std::string> as_user(uid_t uid, mode_t mask);

// Gives the sandbox's folder to `uid` (mode 0755), so that the runner and the fake compiler can
// write their notes there and the attacker can reach the scripts' folder.
void hand_over(const RunnerSandbox& sandbox, uid_t uid);

// Runs the sandbox's runner like RunnerSandbox::run, but as `uid` under `mask`.
RunResult run_as(const RunnerSandbox& sandbox, uid_t uid, mode_t mask, const RunOptions& options);

// Entries directly in /tmp owned by `uid`; removes them all (the test's clean-up).
std::vector<std::string> tmp_entries_of(uid_t uid);
void remove_tmp_entries_of(uid_t uid);

// Runs a shell command as `uid`; its exit code.
int shell_as(uid_t uid, const std::string& command);

// A started program with its standard streams on pipes, killed (SIGKILL) and reaped at the end
// of its scope unless it has ended before.
class Process {
 public:
  Process(const std::vector<std::string>& argv, const std::vector<std::string>& env,
          const std::string& cwd);
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const { return pid_; }
  // One line of standard output without its LF; "" on end of output or after `timeout`.
  std::string read_line(std::chrono::milliseconds timeout);
  // Reads standard output until at least `bytes` arrived or it ended; the count read.
  size_t read_output(size_t bytes, std::chrono::milliseconds timeout);
  // Appends standard error until `needle` is in it, it ends, or `timeout`; true when found.
  bool wait_for_error(const std::string& needle, std::chrono::milliseconds timeout);
  const std::string& error_text() const { return err_text_; }
  void close_input();
  void close_output();
  std::string rest_of_output(std::chrono::milliseconds timeout);
  // Waits for the end; the exit code (128 + signal), or -1 after `timeout`.
  int wait(std::chrono::milliseconds timeout);

 private:
  pid_t pid_ = -1;
  int in_ = -1, out_ = -1, err_ = -1;
  std::string out_buffer_, err_text_;
  bool reaped_ = false;
};

// The attacker's watcher (tmp_attacker) started as `uid`, its inotify watch in place.
class Attacker {
 public:
  Attacker(uid_t uid, const std::string& mode, const std::string& prefix);
  // Ends the watcher and returns every line it printed after "ready".
  std::vector<std::string> finish();

 private:
  Process process_;
};

// Waits (inotify, at most `timeout`) until a file named `name` exists in `dir`, closed after
// writing or moved there.
bool wait_for_file(const std::string& dir, const std::string& name,
                   std::chrono::milliseconds timeout);

}  // namespace sr::test
