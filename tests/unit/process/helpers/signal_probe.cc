// Prints the dispositions it started with for SIGPIPE, SIGINT and the sixth real-time signal,
// and whether its signal mask was empty: "SIGPIPE default", "SIGINT ignored", "SIGRTMIN+5
// default", "mask empty", one per line.
#include <signal.h>

#include <cstdio>

namespace {

const char* disposition(int signal) {
  struct sigaction current {};
  sigaction(signal, nullptr, &current);
  return current.sa_handler == SIG_IGN ? "ignored" : "default";
}

}  // namespace

int main() {
  sigset_t mask;
  sigprocmask(SIG_SETMASK, nullptr, &mask);
  bool empty = true;
  for (int signal = 1; signal < NSIG; ++signal) empty = empty && !sigismember(&mask, signal);
  std::printf("SIGPIPE %s\nSIGINT %s\nSIGRTMIN+5 %s\nmask %s\n", disposition(SIGPIPE),
              disposition(SIGINT), disposition(SIGRTMIN + 5), empty ? "empty" : "blocked");
  return 0;
}
