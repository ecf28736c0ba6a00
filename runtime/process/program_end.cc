// Following a program to its end: running tests, timed waits, kill and the exit code.
#include <signal.h>
#include <sys/time.h>
#include <time.h>

#include "runtime/process/program_record.h"

namespace sr {
namespace {

constexpr long kPollStepNs = 2'000'000;

// The pid stays ours until the exit code is stored (it is collected under the mutex), so
// under the mutex an uncollected program is never confused with a process that reused its pid.
bool process_exists(ChildProgram& program) {
  std::lock_guard lock(registry_mutex());
  collect_if_ended(program);
  if (program.exit_code.load(std::memory_order_relaxed) != -1) return false;
  return ::kill(program.pid, 0) == 0;
}

void sleep_one_step() {
  timespec step{0, kPollStepNs};
  ::nanosleep(&step, nullptr);
}

bool wait_with_limit(ChildProgram& program, int timeout_ms) {
  timeval start;
  ::gettimeofday(&start, nullptr);
  if (!process_exists(program)) return true;
  for (;;) {
    sleep_one_step();
    timeval now;
    ::gettimeofday(&now, nullptr);
    long elapsed = (now.tv_sec - start.tv_sec) * 1000L + (now.tv_usec - start.tv_usec) / 1000L;
    if (elapsed > timeout_ms) return false;
    if (!process_exists(program)) return true;
  }
}

}  // namespace

bool wait_program(ProgramHandle handle, int timeout_ms) {
  ChildProgram* program = program_of(handle);
  if (!program) return true;
  if (timeout_ms == 0) return !process_exists(*program);
  if (timeout_ms != -1) return wait_with_limit(*program, timeout_ms);
  while (process_exists(*program)) sleep_one_step();
  return true;
}

bool program_running(ProgramHandle handle) {
  ChildProgram* program = program_of(handle);
  if (!program) return false;
  if (!program->output) return process_exists(*program);
  if (!program->output->at_end()) return true;
  wait_program(handle, -1);
  return false;
}

int program_exit_code(ProgramHandle handle) {
  ChildProgram* program = program_of(handle);
  if (!program) return -1;
  if (program->pidfd && program->exit_code.load(std::memory_order_relaxed) == -1) {
    std::lock_guard lock(registry_mutex());
    collect_if_ended(*program);
  }
  return program->exit_code.load(std::memory_order_relaxed);
}

void kill_program(ProgramHandle handle) {
  ChildProgram* program = program_of(handle);
  if (!program) return;
  std::lock_guard lock(registry_mutex());
  if (program->exit_code.load(std::memory_order_relaxed) == -1) ::kill(program->pid, SIGKILL);
}

}  // namespace sr
