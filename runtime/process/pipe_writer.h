// The writer over our end of a program's input pipe.
#pragma once

#include <utility>

#include "runtime/process/pipe_ends.h"

namespace sr {

// Unbuffered: every write reaches the pipe at once, which is what a flush after each write
// would give. Our end is non-blocking; the waiting write waits with poll.
class PipeWriter {
 public:
  explicit PipeWriter(UniqueFd fd) : fd_(std::move(fd)) {}

  int fd() const { return fd_.get(); }
  // Waits for room until all is written; short only when the program closed its input.
  int write_all(const char* data, int size);
  // Count written now, 0 when the pipe is full, -1 when the program closed its input.
  int write_now(const char* data, int size);

 private:
  UniqueFd fd_;
};

}  // namespace sr
