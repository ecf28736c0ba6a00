#include "runtime/process/reaper.h"

#include <errno.h>
#include <pthread.h>
#include <sys/wait.h>

#include <new>

#include "runtime/process/program_record.h"

namespace sr {
namespace {

constexpr std::size_t kReaperStackSize = 16000;

// The reaper knows its record only by serial: the record may be closed and its memory reused.
struct ReaperTicket {
  pid_t pid;
  std::uintptr_t serial;
};

void wait_until_ended(pid_t pid) {
  siginfo_t info;
  while (::waitid(P_PID, pid, &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
  }
}

void* reap(void* argument) {
  ReaperTicket ticket = *static_cast<ReaperTicket*>(argument);
  delete static_cast<ReaperTicket*>(argument);
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
  auto* ticket = new (std::nothrow) ReaperTicket{program.pid, program.serial};
  if (!ticket) return false;
  pthread_attr_t attributes;
  ::pthread_attr_init(&attributes);
  ::pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  // A platform that refuses this small size gives its default.
  ::pthread_attr_setstacksize(&attributes, kReaperStackSize);
  pthread_t thread;
  int result = ::pthread_create(&thread, &attributes, reap, ticket);
  ::pthread_attr_destroy(&attributes);
  if (result != 0) delete ticket;
  return result == 0;
}

}  // namespace sr
