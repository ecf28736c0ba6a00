#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "runtime/datetime/c_path.h"
#include "runtime/datetime/copy_blocks.h"
#include "runtime/datetime/files.h"

namespace sr {
namespace {

// Owns one descriptor.
class UniqueFd {
 public:
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() {
    if (fd_ >= 0) close(fd_);
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  bool valid() const { return fd_ >= 0; }
  int get() const { return fd_; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // False when close reports an error: written data may not have reached the file.
  bool close_checked() { return close(release()) == 0; }  // never retried, even after EINTR

 private:
  int fd_;
};

bool clear_nonblocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

// Opened without blocking so that a named pipe cannot stall the open. Only a regular file
// passes: anything else never ends, blocks, or reports a size that means nothing.
int open_source(const char* path, struct stat& status) {
  UniqueFd fd(open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd.valid() || fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
      !clear_nonblocking(fd.get())) {
    return -1;
  }
  return fd.release();
}

// The destination lies in the shared /tmp: it is never reached through a symbolic link, never
// a file of another user, never the source itself, and it is truncated only once all of that
// is known. Without O_NONBLOCK a planted named pipe would block the open.
int open_destination(const char* path, const struct stat& source) {
  UniqueFd fd(
      open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644));
  struct stat status {};
  if (!fd.valid() || fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
      status.st_uid != geteuid()) {
    return -1;
  }
  if (status.st_dev == source.st_dev && status.st_ino == source.st_ino) return -1;
  if (!clear_nonblocking(fd.get()) || ftruncate(fd.get(), 0) != 0) return -1;
  return fd.release();
}

}  // namespace

int copy_file(std::string_view source, std::string_view destination) {
  const std::optional<std::string> from_path = c_path(source);
  const std::optional<std::string> to_path = c_path(destination);
  if (!from_path || !to_path) return 0;

  struct stat source_status {};
  UniqueFd from(open_source(from_path->c_str(), source_status));
  if (!from.valid()) return 0;
  UniqueFd to(open_destination(to_path->c_str(), source_status));
  if (!to.valid()) return 0;

  // The size is taken once; a source that shrinks meanwhile ends in a short read.
  if (!copy_blocks(from.get(), to.get(), source_status.st_size)) return 0;
  return to.close_checked() ? 1 : 0;
}

}  // namespace sr
