#include "runtime/process/reaper.h"

#include <errno.h>
#include <limits.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

#include "runtime/process/program_record.h"

namespace sr {
namespace {

// The thread only waits, so a small stack will do; a sanitizer's runtime needs far more of it
// and gets the default.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::size_t kReaperStackSize = 0;
#else
constexpr std::size_t kReaperStackSize = 64 * 1024;
#endif

// The reaper knows its record only by serial: the record may be closed and its memory reused.
// Both travel in the thread's argument itself, so the thread never allocates: a first malloc
// in a new thread would set up a whole arena of its own.
struct ReaperTicket {
  pid_t pid;
  std::uint32_t serial;
};
static_assert(sizeof(void*) >= 8, "a ticket travels in a pointer");

void* pack(ReaperTicket ticket) {
  return reinterpret_cast<void*>(
      static_cast<std::uintptr_t>(static_cast<std::uint32_t>(ticket.pid)) << 32 | ticket.serial);
}

ReaperTicket unpack(void* argument) {
  const auto bits = reinterpret_cast<std::uintptr_t>(argument);
  return {static_cast<pid_t>(bits >> 32), static_cast<std::uint32_t>(bits)};
}

void wait_until_ended(pid_t pid) {
  siginfo_t info;
  while (::waitid(P_PID, pid, &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
  }
}

void* reap(void* argument) {
  const ReaperTicket ticket = unpack(argument);
  // Waiting without collecting first keeps the pid ours until the exit code is stored; so a
  // kill or existence test under the mutex never reaches a process that reused the pid.
  wait_until_ended(ticket.pid);
  std::lock_guard lock(registry_mutex());
  int status = -1;
  collect_status(ticket.pid, status);
  if (ChildProgram* program = find_registered(ticket.serial)) store_exit_code(*program, status);
  return nullptr;
}

}  // namespace

bool collect_status(pid_t pid, int& status) {
  for (;;) {
    if (::waitpid(pid, &status, 0) >= 0) return true;
    if (errno != EINTR) {
      status = -1;
      return false;
    }
  }
}

namespace {

bool start_reaper(const ChildProgram& program) {
  pthread_attr_t attributes;
  ::pthread_attr_init(&attributes);
  ::pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  if (kReaperStackSize != 0) {
    ::pthread_attr_setstacksize(&attributes,
                                std::max<std::size_t>(kReaperStackSize, PTHREAD_STACK_MIN));
  }
  pthread_t thread;
  int result = ::pthread_create(&thread, &attributes, reap, pack({program.pid, program.serial}));
  ::pthread_attr_destroy(&attributes);
  return result == 0;
}

// A descriptor of the process, readable once it has ended; -1 where the system has none.
int open_pidfd(pid_t pid) {
#ifdef SYS_pidfd_open
  return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
  (void)pid;
  return -1;
#endif
}

}  // namespace

void collect_if_ended(ChildProgram& program) {
  if (!program.pidfd || program.exit_code.load(std::memory_order_relaxed) != -1) return;
  int status = -1;
  pid_t done;
  while ((done = ::waitpid(program.pid, &status, WNOHANG)) < 0 && errno == EINTR) {
  }
  // Collected elsewhere (-1) counts as ended without a status, as the reaper would store it.
  if (done != 0) store_exit_code(program, done < 0 ? -1 : status);
}

bool watch_program_end(ChildProgram& program) {
  // The pid stays ours until it is collected, so the descriptor names our child.
  program.pidfd.reset(open_pidfd(program.pid));
  if (program.pidfd) return true;
  return make_pipe(program.ended, OwnEnd::both) && start_reaper(program);
}

void reap_after_close(ChildProgram& program) {
  collect_if_ended(program);
  if (!program.pidfd || program.exit_code.load(std::memory_order_relaxed) != -1) return;
  // The record goes away, so the thread finds no record by the serial and only collects.
  start_reaper(program);
}

}  // namespace sr
