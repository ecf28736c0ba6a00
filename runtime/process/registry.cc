// The registry of open programs: a doubly linked list, newest first, under one recursive mutex.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "runtime/process/program_record.h"
#include "runtime/process/reaper.h"

namespace sr {
namespace {

ChildProgram* newest = nullptr;
std::uint32_t last_serial = 0;

void unregister_program(ChildProgram* program) {
  if (program->newer) {
    program->newer->older = program->older;
  } else if (newest == program) {
    newest = program->older;
  }
  if (program->older) program->older->newer = program->newer;
  program->newer = program->older = nullptr;
}

}  // namespace

std::recursive_mutex& registry_mutex() {
  static std::recursive_mutex mutex;
  return mutex;
}

void init_child_programs() {
  registry_mutex();
  // A write to a program that closed its input must come back short instead of ending us.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ::sigaction(SIGPIPE, &ignore, nullptr);
}

void register_program(ChildProgram* program) {
  std::lock_guard lock(registry_mutex());
  program->serial = ++last_serial;
  program->newer = nullptr;
  program->older = newest;
  if (newest) newest->newer = program;
  newest = program;
}

ChildProgram* find_registered(std::uint32_t serial) {
  for (ChildProgram* program = newest; program; program = program->older) {
    if (program->serial == serial) return program;
  }
  return nullptr;
}

int exit_code_from_status(int status) {
  // A program ended by a signal counts as failed.
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

void store_exit_code(ChildProgram& program, int status) {
  program.exit_code.store(exit_code_from_status(status), std::memory_order_relaxed);
  if (program.ended.write) {
    char byte = 1;
    // The pipe is non-blocking and gets one byte only; nothing to do if it refuses.
    [[maybe_unused]] ssize_t written = ::write(program.ended.write.get(), &byte, 1);
  }
}

void close_program(ProgramHandle handle) {
  ChildProgram* program = program_of(handle);
  if (!program) return;
  program->output.reset();
  program->input.reset();
  program->error.reset();
  {
    std::lock_guard lock(registry_mutex());
    unregister_program(program);
    reap_after_close(*program);
    // Under the mutex, so a reaper never writes into a descriptor that was reused.
    program->ended.read.reset();
    program->ended.write.reset();
    program->pidfd.reset();
  }
  delete program;
}

}  // namespace sr
