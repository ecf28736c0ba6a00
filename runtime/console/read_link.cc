#include "runtime/console/read_link.h"

#include <unistd.h>

#include <cerrno>

namespace sr {

std::optional<std::string> read_link(const char* path) {
  constexpr std::size_t kFirstSize = 255;
  constexpr std::size_t kGrowth = 256;
  std::string buffer(kFirstSize + 1, '\0');
  std::size_t size = kFirstSize;
  for (;;) {
    const ssize_t length = readlink(path, buffer.data(), size);
    if (length < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    const auto got = static_cast<std::size_t>(length);
    // A result that fills the whole size may have been cut: ask again with more room.
    if (got < size) {
      buffer.resize(got);
      return buffer;
    }
    size = got + kGrowth;
    buffer.resize(size);
  }
}

}  // namespace sr
