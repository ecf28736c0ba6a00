#include "runtime/process/pipe_ends.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace sr {
namespace {

bool set_nonblocking(int fd) {
  return ::fcntl(fd, F_SETFL, O_NONBLOCK) == 0;
}

}  // namespace

bool make_pipe(PipeEnds& ends, OwnEnd own) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  ends.read.reset(fds[0]);
  ends.write.reset(fds[1]);
  bool ok = true;
  if (own == OwnEnd::read || own == OwnEnd::both) ok = ok && set_nonblocking(fds[0]);
  if (own == OwnEnd::write || own == OwnEnd::both) ok = ok && set_nonblocking(fds[1]);
  if (!ok) {
    ends.read.reset();
    ends.write.reset();
  }
  return ok;
}

long bytes_in_pipe(const UniqueFd& read_end) {
  int count = 0;
  if (!read_end || ::ioctl(read_end.get(), FIONREAD, &count) != 0) return 0;
  return count;
}

}  // namespace sr
