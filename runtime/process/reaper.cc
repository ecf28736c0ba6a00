#include "runtime/process/reaper.h"

#include <errno.h>
#include <pthread.h>
#include <sys/wait.h>

#include <cstdint>

#include "runtime/process/program_record.h"

namespace sr {
namespace {

constexpr std::size_t kReaperStackSize = 16000;

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

bool start_reaper(const ChildProgram& program) {
  pthread_attr_t attributes;
  ::pthread_attr_init(&attributes);
  ::pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  // A platform that refuses this small size gives its default.
  ::pthread_attr_setstacksize(&attributes, kReaperStackSize);
  pthread_t thread;
  int result = ::pthread_create(&thread, &attributes, reap, pack({program.pid, program.serial}));
  ::pthread_attr_destroy(&attributes);
  return result == 0;
}

}  // namespace sr
