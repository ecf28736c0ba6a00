#include "fcgi/log_file.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "runtime/files/unique_fd.h"

namespace sr::fcgi {

std::string log_to_file(const std::string& path) {
  const UniqueFd file(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640));
  if (!file) return "cannot open the log " + path + ": " + std::strerror(errno);
  // dup2 leaves descriptor 2 inherited by the processes the server starts, as before.
  if (::dup2(file.get(), STDERR_FILENO) < 0) {
    return "cannot log to " + path + ": " + std::strerror(errno);
  }
  return {};
}

}  // namespace sr::fcgi
