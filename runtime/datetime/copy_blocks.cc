#include "runtime/datetime/copy_blocks.h"

#include <algorithm>
#include <memory>
#include <new>

#include "runtime/files/full_io.h"

namespace sr {

bool copy_blocks(int from, int to, std::int64_t size) {
  if (size <= 0) return true;
  const auto buffer_size = static_cast<std::size_t>(std::min(size, kCopyBlockSize));
  const std::unique_ptr<char[]> buffer(new (std::nothrow) char[buffer_size]);
  if (!buffer) return false;
  for (std::int64_t remaining = size; remaining > 0; remaining -= kCopyBlockSize) {
    const auto count = static_cast<std::size_t>(std::min(remaining, kCopyBlockSize));
    // A short read means the source ended early or cannot be read.
    if (read_full(from, buffer.get(), count) != count ||
        write_full(to, buffer.get(), count) != count) {
      return false;
    }
  }
  return true;
}

}  // namespace sr
