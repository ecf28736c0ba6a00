// The built server, copied beside the runner of a sandbox and started on a unix socket in it,
// with what it logs kept in a file; stopped by its own pid.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "tests/e2e/runner_sandbox.h"
#include "tests/fcgi/fcgi_client.h"

namespace sr::test {

// How the server gets its listening socket.
enum class Listen {
  unix_path,  // --listen unix:<dir>/fcgi.sock
  tcp,        // --listen 127.0.0.1:<a free port>
  fd0,        // a listening unix socket as its standard input, no --listen
  systemd,    // a listening unix socket as fd 3 with LISTEN_FDS and LISTEN_PID, no --listen
};

class ServerProcess {
 public:
  // Starts build/bin/scriptrunner-fcgi (SR_FCGI_SERVER_PATH) from the sandbox's folder with
  // `extra_args`, listening as `how` says, and waits until it accepts connections. `prefix` goes
  // before its command line (a switch to another user, for one).
  ServerProcess(const RunnerSandbox& sandbox, const std::vector<std::string>& extra_args = {},
                Listen how = Listen::unix_path, const std::vector<std::string>& prefix = {});
  // SIGKILL when still running (a test that wanted a clean stop has called stop()).
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // What FcgiClient connects to: a socket path, or "tcp:127.0.0.1:PORT".
  const std::string& socket_path() const { return socket_path_; }
  pid_t pid() const { return pid_; }
  bool ready() const { return ready_; }
  std::string log() const;

  // Sends `signal` and waits up to `timeout_ms` for the exit; the exit status, -1 on time-out.
  int stop(int signal, int timeout_ms = 20000);

  // The server's children now, and the number of descriptors it holds.
  std::vector<pid_t> children() const;
  int descriptor_count() const;
  // Resident memory in KiB.
  long resident_kib() const;
  // Waits (bounded) until the server holds at most `count` descriptors (connections that its
  // clients have closed may take a moment to be seen); false when it does not happen.
  bool wait_for_descriptors_at_most(int count, int timeout_ms = 10000) const;
  // Waits (bounded) until the server has `count` children; false when it does not happen.
  bool wait_for_children(std::size_t count, int timeout_ms = 10000) const;

 private:
  std::string dir_;
  std::string socket_path_;
  std::string log_path_;
  pid_t pid_ = -1;
  bool ready_ = false;
};

// Waits (bounded) until the file exists, for the scripts that report their progress in files.
bool wait_for_file(const std::string& path, int timeout_ms = 10000);
// True while a process with this pid exists (zombies included).
bool process_exists(pid_t pid);
// Waits (bounded) until no process has this pid; true when it has gone.
bool gone(pid_t pid, int timeout_ms = 10000);

}  // namespace sr::test

namespace sr::test {

// What nginx's fastcgi_params send for a GET of `script`, then `extra` (later names win).
Params request_params(const std::string& script, const Params& extra = {});

}  // namespace sr::test

namespace sr::test {

// A script for the fake compiler, with a first line naming the sandbox's runner and -w, and an
// execute bit, as the server requires.
std::string served_script(RunnerSandbox& sandbox, const std::string& name, const std::string& body);

}  // namespace sr::test
