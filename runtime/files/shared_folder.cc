#include "runtime/files/shared_folder.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace sr {
namespace {

// O_NONBLOCK keeps a named pipe without a writer from stalling the open; no controlling
// terminal is picked up on the way to refusing a device.
UniqueFd open_without_blocking(const char* path, int flags, mode_t mode) {
  int fd;
  do {
    fd = ::open(path, flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return UniqueFd(fd);
}

// A regular file is then used with ordinary blocking I/O, unless the caller asked to keep
// O_NONBLOCK. A descriptor opened with O_PATH carries no status flags.
bool clear_nonblocking(int fd, int flags) {
  if (flags & (O_PATH | O_NONBLOCK)) return true;
  const int status_flags = ::fcntl(fd, F_GETFL);
  return status_flags >= 0 && ::fcntl(fd, F_SETFL, status_flags & ~O_NONBLOCK) == 0;
}

}  // namespace

bool is_own_regular(const struct stat& status) {
  return S_ISREG(status.st_mode) && status.st_uid == ::geteuid();
}

bool others_may_write(const struct stat& status) {
  return (status.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

UniqueFd open_own_file(const char* path, int flags, mode_t mode, struct stat& status) {
  UniqueFd fd = open_without_blocking(path, flags | O_NOFOLLOW, mode);
  if (!fd || ::fstat(fd.get(), &status) != 0 || !is_own_regular(status) ||
      !clear_nonblocking(fd.get(), flags)) {
    return UniqueFd();
  }
  return fd;
}

UniqueFd open_regular_file(const char* path, struct stat& status) {
  UniqueFd fd = open_without_blocking(path, O_RDONLY, 0);
  if (!fd || ::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
      !clear_nonblocking(fd.get(), O_RDONLY)) {
    return UniqueFd();
  }
  return fd;
}

}  // namespace sr
