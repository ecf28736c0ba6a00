#include "tests/fcgi/server_process.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/fcgi/fcgi_client.h"

namespace sr::test {
namespace {

using Clock = std::chrono::steady_clock;

// Polls `done` every 10 ms until it holds or the time is up.
template <typename Done>
bool poll_until(Done done, int timeout_ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace

namespace {

int free_tcp_port() {
  const int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  ::bind(probe, reinterpret_cast<sockaddr*>(&address), size);
  ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size);
  ::close(probe);
  return ntohs(address.sin_port);
}

int listening_unix_socket(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, 64) != 0) {
    ADD_FAILURE() << "cannot listen on " << path;
  }
  return fd;
}

}  // namespace

ServerProcess::ServerProcess(const RunnerSandbox& sandbox,
                             const std::vector<std::string>& extra_args, Listen how,
                             const std::vector<std::string>& prefix)
    : dir_(sandbox.dir()),
      socket_path_(sandbox.dir() + "/fcgi.sock"),
      log_path_(sandbox.dir() + "/server.log") {
  const std::string server = dir_ + "/scriptrunner-fcgi";
  std::error_code error;
  std::filesystem::copy_file(SR_FCGI_SERVER_PATH, server,
                             std::filesystem::copy_options::overwrite_existing, error);
  if (error) ADD_FAILURE() << "cannot copy the server: " << error.message();
  std::vector<std::string> args = prefix;
  args.push_back(server);
  int inherited = -1;
  if (how == Listen::unix_path) {
    args.insert(args.end(), {"--listen", "unix:" + socket_path_});
  } else if (how == Listen::tcp) {
    const std::string address = "127.0.0.1:" + std::to_string(free_tcp_port());
    args.insert(args.end(), {"--listen", address});
    socket_path_ = "tcp:" + address;
  } else {
    inherited = listening_unix_socket(socket_path_);
  }
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // A sanitizer's runtime reserves far more address space than any memory limit allows.
  args.insert(args.end(), {"--memory-limit", "0"});
#endif
  args.insert(args.end(), extra_args.begin(), extra_args.end());
  pid_ = ::fork();
  if (pid_ == 0) {
    const int log = ::open(log_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(log, STDERR_FILENO);
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(how == Listen::fd0 ? inherited : null, STDIN_FILENO);
    ::dup2(null, STDOUT_FILENO);
    if (how == Listen::systemd) ::dup2(inherited, 3);
    if (::chdir(dir_.c_str()) != 0) _exit(127);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    // Nothing of this reaches a request: the worker's environment is its params and --env.
    std::vector<std::string> env = {"SERVER_ONLY=1"};
    if (how == Listen::systemd) {
      env.push_back("LISTEN_FDS=1");
      env.push_back("LISTEN_PID=" + std::to_string(::getpid()));
    }
    std::vector<char*> envp;
    for (std::string& entry : env) envp.push_back(entry.data());
    envp.push_back(nullptr);
    ::execve(args[0].c_str(), argv.data(), envp.data());
    _exit(127);
  }
  if (inherited >= 0) ::close(inherited);
  ready_ = poll_until([&] { return FcgiClient(socket_path_).connected(); }, 10000);
  if (!ready_) ADD_FAILURE() << "the server did not start; its log:\n" << log();
}

ServerProcess::~ServerProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

std::string ServerProcess::log() const {
  return RunnerSandbox::read_file(log_path_);
}

int ServerProcess::stop(int signal, int timeout_ms) {
  if (pid_ <= 0) return -1;
  ::kill(pid_, signal);
  int status = 0;
  const bool ended =
      poll_until([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, timeout_ms);
  if (!ended) return -1;
  pid_ = -1;
  return status;
}

std::vector<pid_t> ServerProcess::children() const {
  std::vector<pid_t> found;
  std::ifstream list("/proc/" + std::to_string(pid_) + "/task/" + std::to_string(pid_) +
                     "/children");
  pid_t child;
  while (list >> child) found.push_back(child);
  return found;
}

int ServerProcess::descriptor_count() const {
  int count = 0;
  DIR* fds = ::opendir(("/proc/" + std::to_string(pid_) + "/fd").c_str());
  if (fds == nullptr) return -1;
  while (dirent* entry = ::readdir(fds)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(fds);
  return count;
}

long ServerProcess::resident_kib() const {
  std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with("VmRSS:")) return std::stol(line.substr(6));
  }
  return -1;
}

bool ServerProcess::wait_for_children(std::size_t count, int timeout_ms) const {
  return poll_until([&] { return children().size() == count; }, timeout_ms);
}

bool ServerProcess::wait_for_descriptors_at_most(int count, int timeout_ms) const {
  return poll_until([&] { return descriptor_count() <= count; }, timeout_ms);
}

bool wait_for_file(const std::string& path, int timeout_ms) {
  struct stat status;
  return poll_until([&] { return ::stat(path.c_str(), &status) == 0; }, timeout_ms);
}

bool process_exists(pid_t pid) {
  return pid > 0 && ::kill(pid, 0) == 0;
}

bool gone(pid_t pid, int timeout_ms) {
  return poll_until([&] { return !process_exists(pid); }, timeout_ms);
}

}  // namespace sr::test

namespace sr::test {

Params request_params(const std::string& script, const Params& extra) {
  Params params = {{"QUERY_STRING", ""},
                   {"REQUEST_METHOD", "GET"},
                   {"CONTENT_TYPE", ""},
                   {"CONTENT_LENGTH", ""},
                   {"SCRIPT_NAME", "/" + script.substr(script.rfind('/') + 1)},
                   {"REQUEST_URI", "/" + script.substr(script.rfind('/') + 1)},
                   {"DOCUMENT_ROOT", script.substr(0, script.rfind('/'))},
                   {"SERVER_PROTOCOL", "HTTP/1.1"},
                   {"GATEWAY_INTERFACE", "CGI/1.1"},
                   {"REMOTE_ADDR", "127.0.0.1"},
                   {"SERVER_PORT", "80"},
                   {"SCRIPT_FILENAME", script}};
  for (const auto& [name, value] : extra) {
    bool replaced = false;
    for (auto& pair : params) {
      if (pair.first == name) {
        pair.second = value;
        replaced = true;
      }
    }
    if (!replaced) params.emplace_back(name, value);
  }
  return params;
}

}  // namespace sr::test

namespace sr::test {

std::string served_script(RunnerSandbox& sandbox, const std::string& name,
                          const std::string& body) {
  return sandbox.write_file(name, "#!" + sandbox.runner_path() + " -w\n" + body, 0755);
}

}  // namespace sr::test
