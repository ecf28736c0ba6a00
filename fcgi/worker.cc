#include "fcgi/worker.h"

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <climits>
#include <cstring>

#include "fcgi/script_check.h"
#include "runner/driver.h"
#include "runtime/console/console.h"
#include "runtime/process/pipe_ends.h"

namespace sr::fcgi {
namespace {

// The server's own signal set-up must not reach the runner: it expects a fresh process.
void reset_signals() {
  struct sigaction standard;
  std::memset(&standard, 0, sizeof standard);
  standard.sa_handler = SIG_DFL;
  for (int signal : {SIGPIPE, SIGTERM, SIGINT, SIGCHLD, SIGHUP}) {
    ::sigaction(signal, &standard, nullptr);
  }
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
}

// The request's params and --env are the whole environment, as a web server's CGI child gets.
void set_environment(const WorkerSetup& setup) {
  ::clearenv();
  auto set = [](const std::string& name, const std::string& value) {
    if (name.empty() || name.find('=') != std::string::npos ||
        name.find('\0') != std::string::npos) {
      return;
    }
    ::setenv(name.c_str(), value.c_str(), 1);
  };
  for (const auto& [name, value] : setup.params) set(name, value);
  for (const auto& [name, value] : setup.extra_env) set(name, value);
}

void write_line(int fd, const std::string& text) {
  const std::string line = text + "\n";
  std::size_t written = 0;
  while (written < line.size()) {
    const ssize_t n = ::write(fd, line.data() + written, line.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    written += static_cast<std::size_t>(n);
  }
}

[[noreturn]] void run_worker(const WorkerSetup& setup, int input, int output, int error) {
  ::setpgid(0, 0);
  reset_signals();
  if (::dup2(input, STDIN_FILENO) < 0 || ::dup2(output, STDOUT_FILENO) < 0 ||
      ::dup2(error, STDERR_FILENO) < 0) {
    _exit(1);
  }
  // Nothing of the server (its sockets, other requests' pipes) stays open in the request.
  ::close_range(3, UINT_MAX, 0);
  set_environment(setup);
  ScriptLaunch launch =
      check_script(::getenv("SCRIPT_FILENAME") ? ::getenv("SCRIPT_FILENAME") : "");
  if (!launch.refusal.empty()) {
    write_line(STDERR_FILENO, launch.refusal);
    _exit(0);
  }
  set_program_filename(setup.runner_path);
  std::vector<char*> argv;
  for (std::string& argument : launch.argv) argv.push_back(argument.data());
  argv.push_back(nullptr);
  run_request(static_cast<int>(launch.argv.size()), argv.data());
}

}  // namespace

bool start_worker(const WorkerSetup& setup, Worker& worker) {
  PipeEnds input, output, error;
  if (!make_pipe(input, OwnEnd::write) || !make_pipe(output, OwnEnd::read) ||
      !make_pipe(error, OwnEnd::read)) {
    return false;
  }
  const pid_t pid = ::fork();
  if (pid < 0) return false;
  if (pid == 0) run_worker(setup, input.read.get(), output.write.get(), error.write.get());
  // Both sides set the group, so that a signal to it never misses the worker.
  ::setpgid(pid, pid);
  worker.pid = pid;
  worker.input = std::move(input.write);
  worker.output = std::move(output.read);
  worker.error = std::move(error.read);
  return true;
}

}  // namespace sr::fcgi
