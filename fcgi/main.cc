#include <fcntl.h>
#include <limits.h>
#include <linux/close_range.h>
#include <malloc.h>
#include <stdlib.h>
#include <unistd.h>

#include <iostream>

#include "fcgi/listener.h"
#include "fcgi/log_file.h"
#include "fcgi/options.h"
#include "fcgi/server.h"
#include "runtime/console/console.h"
#include "runtime/strings/strings.h"

namespace {

// Descriptors 0 to 2 stay taken, so that no socket or pipe of the server ever gets those
// numbers, which a worker gives to its standard streams.
void keep_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) < 0) ::open("/dev/null", O_RDWR);
  }
}

// Whatever the server inherited beyond the standard streams (a log file of whoever started it, a
// socket it will adopt) stays out of every process it starts; what it opens itself is
// close-on-exec from the start.
void keep_inherited_descriptors_from_children() {
  ::close_range(3, UINT_MAX, CLOSE_RANGE_CLOEXEC);
}

// Large buffers (request bodies, pages on their way out) are mapped and unmapped each time
// rather than kept in the heap, whose high-water mark would otherwise rise after each burst of
// large requests and stay: the server's size follows what it holds now.
void return_large_buffers_at_once() {
  ::mallopt(M_MMAP_THRESHOLD, 128 * 1024);
}

// The runner installed beside this server, named as the kernel would name it when running it.
std::string runner_beside_server() {
  const std::string path = sr::path_part(sr::program_filename()) + "scriptrunner";
  char resolved[PATH_MAX];
  return ::realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
}

}  // namespace

int main(int argc, char** argv) {
  return_large_buffers_at_once();
  sr::fcgi::block_server_signals();
  keep_standard_descriptors();
  keep_inherited_descriptors_from_children();
  sr::set_program_arguments(argc, argv);
  sr::fcgi::Options options;
  if (const std::string error = sr::fcgi::parse_options(argc, argv, options); !error.empty()) {
    sr::fcgi::log_message(error + " (see --help)");
    return 2;
  }
  if (options.help) {
    std::cout << sr::fcgi::usage_text();
    return 0;
  }
  if (!options.log_file.empty()) {
    if (const std::string error = sr::fcgi::log_to_file(options.log_file); !error.empty()) {
      sr::fcgi::log_message(error);
      return 1;
    }
  }
  // Every request that is not warm, and every failure, is the runner's to answer.
  const std::string runner = runner_beside_server();
  if (::access(runner.c_str(), X_OK) != 0) {
    sr::fcgi::log_message("no runner at " + runner + ": it must be installed beside the server");
    return 1;
  }
  sr::fcgi::Listener listener;
  if (const std::string error = sr::fcgi::open_listener(options, listener); !error.empty()) {
    sr::fcgi::log_message(error);
    return 1;
  }
  sr::fcgi::Server server(std::move(options), std::move(listener), runner);
  return server.run();
}
