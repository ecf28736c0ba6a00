#include "compiler/stub/stream_io.h"

#include <unistd.h>

#include <cerrno>

namespace sr::zr {

void write_fully(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    data.remove_prefix(static_cast<size_t>(n));
  }
}

void OutputBuffer::write(std::string_view data) {
  if (buffer_.size() + data.size() > kCapacity) {
    flush();
    // A piece larger than the whole buffer goes out directly instead of being copied.
    if (data.size() >= kCapacity) return write_fully(1, data);
  }
  buffer_.append(data);
}

void OutputBuffer::flush() {
  write_fully(1, buffer_);
  buffer_.clear();
}

bool InputReader::fill() {
  if (at_end_) return false;
  char block[65536];
  for (;;) {
    ssize_t n = ::read(0, block, sizeof block);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      at_end_ = true;
      return false;
    }
    pending_.append(block, static_cast<size_t>(n));
    return true;
  }
}

std::string InputReader::read_line() {
  size_t searched = 0;
  size_t lf;
  while ((lf = pending_.find('\n', searched)) == std::string::npos) {
    searched = pending_.size();
    if (!fill()) break;
  }
  std::string line;
  if (lf == std::string::npos) {
    line.swap(pending_);
  } else {
    line = pending_.substr(0, lf);
    pending_.erase(0, lf + 1);
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

std::string InputReader::read_all() {
  while (fill()) {
  }
  std::string all;
  all.swap(pending_);
  return all;
}

}  // namespace sr::zr
