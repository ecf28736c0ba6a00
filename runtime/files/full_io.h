// Whole reads and writes on a blocking descriptor, retried after a signal (EINTR) and after a
// short transfer.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace sr {

// Each returns the bytes transferred: `count` unless the file ended or an error came first
// (errno then tells which error; it is untouched at the end of a file).
std::size_t read_full(int fd, void* buffer, std::size_t count);
std::size_t write_full(int fd, const void* buffer, std::size_t count);
// The same at a file offset, leaving the descriptor's own offset where it was.
std::size_t read_full_at(int fd, void* buffer, std::size_t count, off_t offset);
std::size_t write_full_at(int fd, const void* buffer, std::size_t count, off_t offset);

}  // namespace sr
