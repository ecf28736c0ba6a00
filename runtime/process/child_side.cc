#include "runtime/process/child_side.h"

#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace sr {
namespace {

// A pipe end that landed on 0, 1 or 2 (a caller without standard streams) is moved up first,
// so that installing one stream never overwrites another and dup2 always clears close-on-exec.
void move_above_standard(int& fd) {
  if (fd >= 0 && fd <= 2) fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
}

void install(int fd, int target) {
  if (fd < 0) return;
  if (::dup2(fd, target) < 0) ::_exit(1);
}

// Signals whose disposition an exec keeps (ignored) or that would run one of our handlers in
// this borrowed address space once the mask is cleared (caught), as one mask with bit n-1 for
// signal n, from /proc/self/status; false when it cannot be read.
bool read_signal_mask(unsigned long long& mask) {
  const int fd = ::open("/proc/self/status", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char text[4096];
  ssize_t length = 0, got;
  while (length < static_cast<ssize_t>(sizeof text) - 1 &&
         (got = ::read(fd, text + length, sizeof text - 1 - length)) > 0) {
    length += got;
  }
  ::close(fd);
  text[length] = '\0';
  mask = 0;
  for (const char* label : {"\nSigIgn:", "\nSigCgt:"}) {
    const char* at = ::strstr(text, label);
    if (at == nullptr) return false;
    at += ::strlen(label);
    while (*at == ' ' || *at == '\t') ++at;
    unsigned long long value = 0;
    int digits = 0;
    for (; digits < 16; ++digits, ++at) {
      const char c = *at;
      const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
      if (digit < 0) break;
      value = value << 4 | static_cast<unsigned>(digit);
    }
    if (digits == 0 || *at != '\n') return false;
    mask |= value;
  }
  return true;
}

void reset_signals() {
  struct sigaction standard {};
  standard.sa_handler = SIG_DFL;
  sigemptyset(&standard.sa_mask);
  // Signals at their default need no call: one read spares a call for each of the others.
  unsigned long long changed = ~0ULL;
  if (!read_signal_mask(changed)) changed = ~0ULL;
  for (int signal = 1; signal < NSIG && signal <= 64; ++signal) {
    if (signal == SIGKILL || signal == SIGSTOP) continue;
    if ((changed >> (signal - 1) & 1) == 0) continue;
    ::sigaction(signal, &standard, nullptr);
  }
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
}

int exec_file(int fd, char** arguments, char** environment) {
  ::syscall(SYS_execveat, fd, "", arguments, environment, AT_EMPTY_PATH);
  if (errno != ENOENT) return errno;
  // A #! program is handed to its interpreter as /dev/fd/N, which a close-on-exec descriptor
  // would no longer name: keep it open across the exec for such a file only.
  if (::fcntl(fd, F_SETFD, 0) != 0) return ENOENT;
  ::syscall(SYS_execveat, fd, "", arguments, environment, AT_EMPTY_PATH);
  return errno;
}

}  // namespace

void run_child(const ChildSetup& setup) {
  if (setup.follow_parent != 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    // The parent may have died before the request took effect.
    if (::getppid() != setup.follow_parent) ::_exit(1);
  }
  if (setup.own_group) ::setpgid(0, 0);
  if (setup.address_space_limit > 0) {
    // Both limits, so that the program cannot lift it; never above what we may set.
    rlimit limit{};
    ::getrlimit(RLIMIT_AS, &limit);
    const rlim_t wanted = static_cast<rlim_t>(setup.address_space_limit);
    limit.rlim_cur = limit.rlim_max = std::min(wanted, limit.rlim_max);
    if (::setrlimit(RLIMIT_AS, &limit) != 0) ::_exit(1);
  }
  if (setup.directory && ::chdir(setup.directory) != 0) {
    // The program runs in the inherited directory instead.
  }
  int output = setup.output, input = setup.input, error = setup.error, connect = setup.connect;
  move_above_standard(output);
  move_above_standard(input);
  move_above_standard(error);
  move_above_standard(connect);
  int report = setup.exec_report;
  move_above_standard(report);
  install(output, STDOUT_FILENO);
  install(input, STDIN_FILENO);
  install(error, STDERR_FILENO);
  if (connect >= 0) {
    install(connect, STDIN_FILENO);
    // Our end of that pipe is non-blocking; the program expects an ordinary input.
    int flags = ::fcntl(STDIN_FILENO, F_GETFL);
    if (flags >= 0) ::fcntl(STDIN_FILENO, F_SETFL, flags & ~O_NONBLOCK);
  }
  reset_signals();
  char** environment = setup.environment != nullptr ? setup.environment : environ;
  int failure;
  if (setup.executable >= 0) {
    failure = exec_file(setup.executable, setup.arguments, environment);
  } else {
    ::execvpe(setup.file, setup.arguments, environment);
    failure = errno;
  }
  if (report >= 0 && ::write(report, &failure, sizeof failure) < 0) {
    // The parent then sees the exit status without a reason.
  }
  ::_exit(setup.executable >= 0 ? 127 : 1);
}

pid_t fork_child(const ChildSetup& followed) {
  ChildSetup setup = followed;
  if (!setup.outlives_parent) setup.follow_parent = ::getpid();
  sigset_t all, saved;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &saved);
  // The child only rearranges descriptors and signals before it executes, so it can borrow our
  // memory instead of copying it: vfork spares the page-table copy on every request.
  pid_t pid = ::vfork();
  if (pid == 0) run_child(setup);
  ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  return pid;
}

}  // namespace sr
