#include "tests/e2e/run_child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace sr::test {
namespace {

using Clock = std::chrono::steady_clock;

struct Pipe {
  int read_end = -1;
  int write_end = -1;
};

Pipe make_pipe() {
  int fds[2];
  // Close-on-exec from birth: runs on other threads must not inherit our pipe ends.
  if (pipe2(fds, O_CLOEXEC) != 0) return {};
  return {fds[0], fds[1]};
}

void close_fd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

std::vector<char*> c_strings(const std::vector<std::string>& items) {
  std::vector<char*> out;
  for (const auto& item : items) out.push_back(const_cast<char*>(item.c_str()));
  out.push_back(nullptr);
  return out;
}

// Runs in the forked child: only async-signal-safe calls until exec.
[[noreturn]] void exec_child(const Pipe& in, const Pipe& out, const Pipe& err, const char* cwd,
                             char* const* argv, char* const* envp) {
  // The runner must meet the defaults that a web server gives, not the test's SIGPIPE setting.
  signal(SIGPIPE, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  if (dup2(in.read_end, 0) < 0 || dup2(out.write_end, 1) < 0 || dup2(err.write_end, 2) < 0) {
    _exit(126);
  }
  if (cwd[0] != '\0' && chdir(cwd) != 0) _exit(126);
  execve(argv[0], argv, envp);
  _exit(127);
}

int exit_code_of(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + WTERMSIG(status);
}

class PipeLoop {
 public:
  PipeLoop(int in, int out, int err, const std::string& data)
      : in_(in), out_(out), err_(err), data_(data) {
    if (in_ >= 0) fcntl(in_, F_SETFL, O_NONBLOCK);
    if (data_.empty()) close_fd(in_);
  }
  ~PipeLoop() {
    close_fd(in_);
    close_fd(out_);
    close_fd(err_);
  }
  bool done() const { return out_ < 0 && err_ < 0; }
  // One poll of at most `wait_ms`; appends what arrived.
  void step(int wait_ms, RunResult& result);

 private:
  void write_some();
  static void read_some(int& fd, std::string& sink);

  int in_, out_, err_;
  const std::string& data_;
  size_t written_ = 0;
};

void PipeLoop::step(int wait_ms, RunResult& result) {
  pollfd fds[3] = {{in_, POLLOUT, 0}, {out_, POLLIN, 0}, {err_, POLLIN, 0}};
  int ready = poll(fds, 3, wait_ms);
  if (ready <= 0) return;
  if (fds[0].revents != 0) write_some();
  if (fds[1].revents != 0) read_some(out_, result.out);
  if (fds[2].revents != 0) read_some(err_, result.err);
}

void PipeLoop::write_some() {
  ssize_t n = write(in_, data_.data() + written_, data_.size() - written_);
  if (n > 0) written_ += static_cast<size_t>(n);
  // A reader that went away (EPIPE) simply ends the body, as it would for a web server.
  if ((n < 0 && errno != EAGAIN && errno != EINTR) || written_ == data_.size()) close_fd(in_);
}

void PipeLoop::read_some(int& fd, std::string& sink) {
  char buffer[65536];
  ssize_t n = read(fd, buffer, sizeof buffer);
  if (n > 0) {
    sink.append(buffer, static_cast<size_t>(n));
  } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
    close_fd(fd);
  }
}

}  // namespace

RunResult run_child(const ChildLaunch& launch) {
  static const bool kIgnorePipe = [] { return signal(SIGPIPE, SIG_IGN) != SIG_ERR; }();
  (void)kIgnorePipe;
  RunResult result;
  std::vector<char*> argv = c_strings(launch.argv);
  std::vector<char*> envp = c_strings(launch.env);
  Pipe in = make_pipe(), out = make_pipe(), err = make_pipe();
  auto start = Clock::now();
  pid_t pid = fork();
  if (pid == 0) exec_child(in, out, err, launch.cwd.c_str(), argv.data(), envp.data());
  close_fd(in.read_end);
  close_fd(out.write_end);
  close_fd(err.write_end);
  if (pid < 0) {
    close_fd(in.write_end);
    close_fd(out.read_end);
    close_fd(err.read_end);
    return result;
  }
  auto deadline = start + std::chrono::milliseconds(launch.timeout_ms);
  {
    PipeLoop loop(in.write_end, out.read_end, err.read_end, launch.stdin_data);
    while (!loop.done()) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) {
        result.timed_out = true;
        kill(pid, SIGKILL);
        break;
      }
      loop.step(static_cast<int>(std::min<long>(left.count(), 1000)), result);
    }
  }
  result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.exit_code = exit_code_of(status);
  return result;
}

}  // namespace sr::test
