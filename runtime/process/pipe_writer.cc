#include "runtime/process/pipe_writer.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

namespace sr {
namespace {

ssize_t write_once(int fd, const char* data, int size) {
  ssize_t count;
  do {
    count = ::write(fd, data, size);
  } while (count < 0 && errno == EINTR);
  return count;
}

bool wait_writable(int fd) {
  pollfd entry{fd, POLLOUT, 0};
  int result;
  do {
    result = ::poll(&entry, 1, -1);
  } while (result < 0 && errno == EINTR);
  return result > 0;
}

}  // namespace

int PipeWriter::write_all(const char* data, int size) {
  int count = 0;
  while (count < size) {
    ssize_t written = write_once(fd_.get(), data + count, size - count);
    if (written > 0) {
      count += static_cast<int>(written);
    } else if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!wait_writable(fd_.get())) break;
    } else {
      break;  // EPIPE: the program closed its input (SIGPIPE is ignored in this process).
    }
  }
  return count;
}

int PipeWriter::write_now(const char* data, int size) {
  if (size <= 0) return 0;
  ssize_t written = write_once(fd_.get(), data, size);
  if (written >= 0) return static_cast<int>(written);
  if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
  return -1;
}

}  // namespace sr
