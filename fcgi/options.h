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
  std::vector<std::pair<std::string, std::string>> env;
  bool help = false;
};

// Fills `options` from argv; returns "" or a one-line message about the first bad argument.
std::string parse_options(int argc, char** argv, Options& options);

std::string usage_text();

}  // namespace sr::fcgi
