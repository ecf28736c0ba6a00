#include "tests/security/two_users.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "tests/e2e/run_child.h"

namespace sr::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr uid_t kFirstUid = 59100;  // far from the accounts a distribution creates

int remaining_ms(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// Reads what is there on `fd` (waiting at most until `deadline`) into `sink`; false at the end.
bool read_some(int& fd, std::string& sink, Clock::time_point deadline) {
  if (fd < 0) return false;
  pollfd ready{fd, POLLIN, 0};
  if (poll(&ready, 1, remaining_ms(deadline)) <= 0) return true;
  char buffer[65536];
  ssize_t n = read(fd, buffer, sizeof buffer);
  if (n > 0) {
    sink.append(buffer, static_cast<size_t>(n));
    return true;
  }
  if (n < 0 && errno == EINTR) return true;
  close(fd);
  fd = -1;
  return false;
}

std::vector<char*> c_strings(const std::vector<std::string>& items) {
  std::vector<char*> out;
  for (const auto& item : items) out.push_back(const_cast<char*>(item.c_str()));
  out.push_back(nullptr);
  return out;
}

}  // namespace

TwoUsers users_for_slot(int slot) {
  const uid_t runner = kFirstUid + 2 * static_cast<uid_t>(slot);
  return {runner, runner + 1};
}

std::vector<std::string> as_user(uid_t uid, mode_t mask) {
  char umask_text[8];
  snprintf(umask_text, sizeof umask_text, "%03o", static_cast<unsigned>(mask));
  std::vector<std::string> argv = {"/bin/sh", "-c",
                                   std::string("umask ") + umask_text + "; exec \"$@\"", "sh"};
  if (geteuid() == 0 && uid != 0) {
    const std::string id = std::to_string(uid);
    argv.insert(argv.end(),
                {"/usr/bin/setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups", "--"});
  }
  return argv;
}

void hand_over(const RunnerSandbox& sandbox, uid_t uid) {
  if (geteuid() != 0) return;
  ASSERT_EQ(chown(sandbox.dir().c_str(), uid, uid), 0);
  ASSERT_EQ(chmod(sandbox.dir().c_str(), 0755), 0);
}

RunResult run_as(const RunnerSandbox& sandbox, uid_t uid, mode_t mask, const RunOptions& options) {
  ChildLaunch launch;
  launch.argv = as_user(uid, mask);
  launch.argv.push_back(sandbox.runner_path());
  if (options.switches) launch.argv.push_back(*options.switches);
  for (const auto& [name, value] : options.env) launch.env.push_back(name + "=" + value);
  launch.cwd = options.cwd.empty() ? sandbox.dir() : options.cwd;
  launch.stdin_data = options.stdin_data;
  launch.timeout_ms = options.timeout_ms;
  RunResult result = run_child(launch);
  EXPECT_FALSE(result.timed_out) << "the runner was killed after " << options.timeout_ms
                                 << " ms; output so far:\n"
                                 << result.out.substr(0, 2000) << "\nerrors so far:\n"
                                 << result.err;
  return result;
}

std::vector<std::string> tmp_entries_of(uid_t uid) {
  std::vector<std::string> found;
  DIR* tmp = opendir("/tmp");
  if (tmp == nullptr) return found;
  while (dirent* entry = readdir(tmp)) {
    const std::string path = std::string("/tmp/") + entry->d_name;
    struct stat info {};
    if (lstat(path.c_str(), &info) == 0 && info.st_uid == uid && entry->d_name[0] != '.') {
      found.push_back(path);
    }
  }
  closedir(tmp);
  return found;
}

void remove_tmp_entries_of(uid_t uid) {
  if (geteuid() != 0) return;  // the current user owns far more than this test's files
  std::error_code ignored;
  for (const auto& path : tmp_entries_of(uid)) fs::remove_all(path, ignored);
}

int shell_as(uid_t uid, const std::string& command) {
  ChildLaunch launch;
  launch.argv = as_user(uid, 022);
  for (const char* word : {"/bin/sh", "-c"}) launch.argv.push_back(word);
  launch.argv.push_back(command);
  launch.env = {"PATH=/usr/bin:/bin"};
  launch.cwd = "/";
  launch.timeout_ms = 10000;
  RunResult result = run_child(launch);
  return result.exit_code;
}

Process::Process(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                 const std::string& cwd) {
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe2 failed";
    return;
  }
  std::vector<char*> args = c_strings(argv), envp = c_strings(env);
  pid_ = fork();
  if (pid_ == 0) {
    signal(SIGPIPE, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (dup2(in[0], 0) < 0 || dup2(out[1], 1) < 0 || dup2(err[1], 2) < 0) _exit(126);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    execve(args[0], args.data(), envp.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  in_ = in[1];
  out_ = out[0];
  err_ = err[0];
  signal(SIGPIPE, SIG_IGN);  // a child that stops reading must not end the test
}

Process::~Process() {
  if (pid_ > 0 && !reaped_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  for (int fd : {in_, out_, err_}) {
    if (fd >= 0) close(fd);
  }
}

std::string Process::read_line(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    size_t end = out_buffer_.find('\n');
    if (end != std::string::npos) {
      std::string line = out_buffer_.substr(0, end);
      out_buffer_.erase(0, end + 1);
      return line;
    }
    if (Clock::now() >= deadline || !read_some(out_, out_buffer_, deadline)) return "";
  }
}

size_t Process::read_output(size_t bytes, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (out_buffer_.size() < bytes && Clock::now() < deadline &&
         read_some(out_, out_buffer_, deadline)) {
  }
  return out_buffer_.size();
}

bool Process::wait_for_error(const std::string& needle, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (err_text_.find(needle) == std::string::npos) {
    if (Clock::now() >= deadline || !read_some(err_, err_text_, deadline)) {
      return err_text_.find(needle) != std::string::npos;
    }
  }
  return true;
}

void Process::close_input() {
  if (in_ >= 0) close(in_);
  in_ = -1;
}

void Process::close_output() {
  if (out_ >= 0) close(out_);
  out_ = -1;
}

std::string Process::rest_of_output(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline && read_some(out_, out_buffer_, deadline)) {
  }
  return std::exchange(out_buffer_, "");
}

int Process::wait(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    int status = 0;
    pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      reaped_ = true;
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    if (Clock::now() >= deadline) return -1;
    // Keeps the streams flowing while waiting, so that a chatty child does not block on a pipe.
    std::string ignored;
    read_some(err_, err_text_, Clock::now() + std::chrono::milliseconds(20));
  }
}

namespace {

// The build tree may lie in a folder that other users cannot enter (a home folder), so the
// attacker runs a copy of its program from a folder of its own in /tmp.
class AttackerCopy {
 public:
  AttackerCopy() {
    char folder[] = "/tmp/sr-attacker-XXXXXX";
    if (mkdtemp(folder) == nullptr) return;
    folder_ = folder;
    chmod(folder, 0755);
    std::error_code error;
    fs::copy_file(SR_ATTACKER_PATH, path(), error);
    if (error) ADD_FAILURE() << "cannot copy " << SR_ATTACKER_PATH << ": " << error.message();
    chmod(path().c_str(), 0755);
  }
  ~AttackerCopy() {
    std::error_code ignored;
    if (!folder_.empty()) fs::remove_all(folder_, ignored);
  }
  std::string path() const { return folder_ + "/tmp_attacker"; }

 private:
  std::string folder_;
};

std::vector<std::string> attacker_argv(uid_t uid, const std::string& mode,
                                       const std::string& prefix) {
  static const AttackerCopy copy;
  std::vector<std::string> argv = as_user(uid, 022);
  argv.insert(argv.end(), {copy.path(), mode, prefix});
  return argv;
}

}  // namespace

Attacker::Attacker(uid_t uid, const std::string& mode, const std::string& prefix)
    : process_(attacker_argv(uid, mode, prefix), {}, "/") {
  const std::string first = process_.read_line(std::chrono::seconds(10));
  EXPECT_EQ(first, "ready " + prefix)
      << "the attacker's watcher did not start: " << process_.error_text();
}

std::vector<std::string> Attacker::finish() {
  process_.close_input();
  std::vector<std::string> lines;
  for (;;) {
    std::string line = process_.read_line(std::chrono::seconds(10));
    if (line.empty()) break;
    lines.push_back(line);
  }
  process_.wait(std::chrono::seconds(10));
  return lines;
}

bool wait_for_file(const std::string& dir, const std::string& name,
                   std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (watch < 0) return false;
  inotify_add_watch(watch, dir.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE);
  bool found = false;
  // Checked after the watch is in place, so that a file that appears in between is not missed.
  while (!(found = fs::exists(dir + "/" + name)) && Clock::now() < deadline) {
    pollfd ready{watch, POLLIN, 0};
    if (poll(&ready, 1, remaining_ms(deadline)) > 0) {
      char buffer[4096];
      while (read(watch, buffer, sizeof buffer) > 0) {
      }
    }
  }
  close(watch);
  return found;
}

}  // namespace sr::test
