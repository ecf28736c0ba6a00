// Standard output buffered in the executable, standard error written at once, standard input
// read in blocks and shared by ReadLine$ and ReadAll$; the host moves the blocks.
#pragma once

#include <stddef.h>

#include "compiler/stub/bytes.h"
#include "compiler/stub/host.h"
#include "compiler/stub/text.h"

namespace sr::zr {

// Writes everything, retrying on EINTR; gives up silently when the reader has gone.
// The runner's runtime has the same loops (runtime/files/full_io.h), but sharing them would pull
// the C++ library into every executable, so the stub keeps its own (here and in main.cc).
void write_fully(int fd, Bytes data);

class OutputBuffer {
 public:
  static constexpr size_t kCapacity = 64 * 1024;
  explicit OutputBuffer(const Host& host) : host_(host) {}
  void write(Bytes data);
  void flush();
  // The run's last flush: through the host's write_last_output where it has one.
  void finish();
  void discard() { used_ = 0; }                          // drops what is buffered, unsent
  bool sent_anything() const { return sent_anything_; }  // to the host, since the run started

 private:
  const Host& host_;
  char buffer_[kCapacity];
  size_t used_ = 0;
  bool sent_anything_ = false;
};

class InputReader {
 public:
  explicit InputReader(const Host& host) : host_(host) {}
  // The next line without its LF (and a CR before it); "" at the end of input.
  Text read_line();
  Text read_all();

 private:
  bool fill();  // false at the end of input or on an error
  const Host& host_;
  Text pending_;
  bool at_end_ = false;
};

}  // namespace sr::zr
