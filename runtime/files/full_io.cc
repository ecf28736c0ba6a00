#include "runtime/files/full_io.h"

#include <unistd.h>

#include <cerrno>

namespace sr {
namespace {

// `transfer(done)` moves the next piece after the `done` bytes already moved.
template <typename Transfer>
std::size_t transfer_fully(std::size_t count, Transfer transfer) {
  std::size_t done = 0;
  while (done < count) {
    const ssize_t n = transfer(done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

}  // namespace

std::size_t read_full(int fd, void* buffer, std::size_t count) {
  char* bytes = static_cast<char*>(buffer);
  return transfer_fully(count,
                        [&](std::size_t done) { return ::read(fd, bytes + done, count - done); });
}

std::size_t write_full(int fd, const void* buffer, std::size_t count) {
  const char* bytes = static_cast<const char*>(buffer);
  return transfer_fully(count,
                        [&](std::size_t done) { return ::write(fd, bytes + done, count - done); });
}

std::size_t read_full_at(int fd, void* buffer, std::size_t count, off_t offset) {
  char* bytes = static_cast<char*>(buffer);
  return transfer_fully(count, [&](std::size_t done) {
    return ::pread(fd, bytes + done, count - done, offset + static_cast<off_t>(done));
  });
}

std::size_t write_full_at(int fd, const void* buffer, std::size_t count, off_t offset) {
  const char* bytes = static_cast<const char*>(buffer);
  return transfer_fully(count, [&](std::size_t done) {
    return ::pwrite(fd, bytes + done, count - done, offset + static_cast<off_t>(done));
  });
}

}  // namespace sr
