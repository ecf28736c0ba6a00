#include "runtime/process/pipe_reader.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace sr {
namespace {

// False when the descriptor cannot be waited on, so callers stop instead of spinning.
bool wait_readable(int fd, int timeout_ms) {
  pollfd entry{fd, POLLIN, 0};
  int result;
  do {
    result = ::poll(&entry, 1, timeout_ms);
  } while (result < 0 && errno == EINTR);
  return result > 0;
}

}  // namespace

int PipeReader::pipe_count() const {
  return static_cast<int>(bytes_in_pipe(fd_));
}

int PipeReader::available() {
  int count = pipe_count();
  if (count > 0) {
    remembered_ = count;
    return count;
  }
  return remembered_ > 0 ? remembered_ : 0;
}

int PipeReader::take(char* out, int size) {
  int count = std::min(size, end_ - begin_);
  if (count <= 0) return 0;
  std::memcpy(out, buffer_ + begin_, count);
  begin_ += count;
  remembered_ -= count;
  return count;
}

bool PipeReader::take_line_part(std::string& line) {
  const char* start = buffer_ + begin_;
  int count = end_ - begin_;
  const void* feed = std::memchr(start, '\n', count);
  int part = feed ? static_cast<int>(static_cast<const char*>(feed) - start) : count;
  line.append(start, part);
  int taken = feed ? part + 1 : part;
  begin_ += taken;
  remembered_ -= taken;
  return feed != nullptr;
}

PipeReader::Fill PipeReader::fill_now() {
  if (begin_ != end_) return Fill::data;
  if (ended_) return Fill::end;
  if (shared_ && !wait_readable(fd_.get(), 0)) return Fill::empty;
  begin_ = end_ = 0;
  ssize_t count;
  do {
    count = ::read(fd_.get(), buffer_, kBufferSize);
  } while (count < 0 && errno == EINTR);
  if (count > 0) {
    end_ = static_cast<int>(count);
    return Fill::data;
  }
  if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Fill::empty;
  // End of file, or a pipe that cannot be read any more: nothing further will come.
  ended_ = true;
  return Fill::end;
}

PipeReader::Fill PipeReader::fill_wait() {
  for (;;) {
    Fill fill = fill_now();
    if (fill != Fill::empty) return fill;
    if (!wait_readable(fd_.get(), -1)) {
      ended_ = true;
      return Fill::end;
    }
  }
}

int PipeReader::read_now(char* out, int size) {
  if (size <= 0) return 0;
  int count = take(out, size);
  if (count < size && fill_now() == Fill::data) count += take(out + count, size - count);
  if (count == 0 && drained()) return -1;
  return count;
}

int PipeReader::read_all(char* out, int size) {
  int count = 0;
  while (count < size) {
    count += take(out + count, size - count);
    if (count == size || fill_wait() == Fill::end) break;
  }
  return count;
}

void PipeReader::read_line(std::string& line) {
  while (!take_line_part(line)) {
    if (fill_wait() == Fill::end) return;
  }
}

bool PipeReader::read_line_now(std::string& line) {
  while (!take_line_part(line)) {
    if (fill_now() != Fill::data) return false;
  }
  return true;
}

}  // namespace sr
