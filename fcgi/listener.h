// The listening socket: made from --listen, or inherited from systemd or as fd 0.
#pragma once

#include <string>

#include "fcgi/options.h"
#include "runtime/files/unique_fd.h"

namespace sr::fcgi {

struct Listener {
  UniqueFd socket;        // non-blocking, close-on-exec
  std::string unix_path;  // the socket file this server made (removed at exit); "" otherwise
  std::string description;
};

// Opens the socket that `options` names; returns "" or the reason it cannot.
std::string open_listener(const Options& options, Listener& listener);

}  // namespace sr::fcgi
