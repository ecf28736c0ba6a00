// The server's command line.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace sr::fcgi {

struct Options {
  std::string listen;  // "unix:PATH" or "HOST:PORT"; empty: the socket inherited
  mode_t socket_mode = 0660;
  int max_children = 8;
  int timeout_seconds = 0;  // 0: no limit
  // For a connection's request to arrive (its begin and params), and for the rest of an answered
  // request's body.
  int request_read_timeout_seconds = 5;
  // RLIMIT_AS of every process the server starts, in bytes; 0: unlimited.
  unsigned long long memory_limit_bytes = 1024ull << 20;
  // Warm requests of an executable that declares resident mode go to a long-lived process of it.
  bool resident = true;
  int resident_idle_seconds = 60;  // an idle resident process retires after this long
  int max_requests = 1000;  // requests a resident process serves before it retires; 0: no limit
  // Answered by the server itself, never by a script; "": off.
  std::string status_path;
  std::string ping_path;
  int slow_log_seconds = 0;  // a request running longer is logged; 0: off
  std::string log_file;      // standard error goes there, reopened on SIGUSR1; "": as inherited
  std::vector<std::pair<std::string, std::string>> env;
  bool help = false;
};

// Fills `options` from argv; returns "" or a one-line message about the first bad argument (or
// the first bad combination).
std::string parse_options(int argc, char** argv, Options& options);

std::string usage_text();

}  // namespace sr::fcgi
