// The block loop of copy_file, on open descriptors.
#pragma once

#include <cstdint>

namespace sr {

constexpr std::int64_t kCopyBlockSize = 512000;

// Copies `size` bytes from `from` to `to` in blocks of kCopyBlockSize. False at a short read, a
// failed write, or when no buffer can be had.
bool copy_blocks(int from, int to, std::int64_t size);

}  // namespace sr
