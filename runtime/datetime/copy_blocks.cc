#include "runtime/datetime/copy_blocks.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <new>

namespace sr {
namespace {

bool read_fully(int fd, char* buffer, std::size_t count) {
  while (count > 0) {
    const ssize_t n = read(fd, buffer, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;  // the source ended early or cannot be read
    buffer += n;
    count -= static_cast<std::size_t>(n);
  }
  return true;
}

bool write_fully(int fd, const char* buffer, std::size_t count) {
  while (count > 0) {
    const ssize_t n = write(fd, buffer, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    buffer += n;
    count -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

bool copy_blocks(int from, int to, std::int64_t size) {
  if (size <= 0) return true;
  const auto buffer_size = static_cast<std::size_t>(std::min(size, kCopyBlockSize));
  const std::unique_ptr<char[]> buffer(new (std::nothrow) char[buffer_size]);
  if (!buffer) return false;
  for (std::int64_t remaining = size; remaining > 0; remaining -= kCopyBlockSize) {
    const auto count = static_cast<std::size_t>(std::min(remaining, kCopyBlockSize));
    if (!read_fully(from, buffer.get(), count) || !write_fully(to, buffer.get(), count)) {
      return false;
    }
  }
  return true;
}

}  // namespace sr
