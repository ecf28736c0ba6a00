#include "runtime/files/unique_fd.h"

#include <unistd.h>

namespace sr {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) reset(other.release());
  return *this;
}

void UniqueFd::reset(int fd) {
  // Never retry close on EINTR: the descriptor is gone either way on Linux.
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

int UniqueFd::release() {
  int fd = fd_;
  fd_ = -1;
  return fd;
}

bool UniqueFd::close_checked() {
  const int fd = release();
  return fd < 0 || ::close(fd) == 0;
}

}  // namespace sr
