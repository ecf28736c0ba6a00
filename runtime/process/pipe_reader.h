// The buffered reader over our end of a program's output or error pipe.
#pragma once

#include <string>
#include <utility>

#include "runtime/process/pipe_ends.h"

namespace sr {

// A 4096-byte buffer over a non-blocking pipe end. Blocking and non-blocking reads share the
// buffer, so every byte is handed out exactly once whichever kind of read takes it. Every byte
// taken lowers the remembered count of available bytes.
class PipeReader {
 public:
  static constexpr int kBufferSize = 4096;
  enum class Fill { data, empty, end };

  explicit PipeReader(UniqueFd fd) : fd_(std::move(fd)) {}

  int fd() const { return fd_.get(); }
  // A read has met the end of the pipe (bytes taken before may still be buffered).
  bool at_end() const { return ended_; }
  bool drained() const { return ended_ && begin_ == end_; }
  int buffered() const { return end_ - begin_; }

  // Bytes in the pipe itself; 0 when the pipe cannot say.
  int pipe_count() const;
  // The pipe's count when positive (and remembered), else the remembered count less what was
  // taken since, never below 0.
  int available();

  // Count taken, 0 when nothing waits, -1 at the end with nothing buffered. One read at most.
  int read_now(char* out, int size);
  // Waits until `size` bytes came or the end; returns the count.
  int read_all(char* out, int size);
  // Appends up to the next LF (consumed, not appended); waits for it or the end.
  void read_line(std::string& line);
  // As read_line without waiting: true once the LF came, false when the pipe is empty or ended.
  bool read_line_now(std::string& line);

  // Another process reads the same pipe description now and may have made it blocking, so
  // each read must first ask whether data waits.
  void share_descriptor() { shared_ = true; }

 private:
  int take(char* out, int size);
  bool take_line_part(std::string& line);
  Fill fill_now();
  Fill fill_wait();

  UniqueFd fd_;
  int begin_ = 0;
  int end_ = 0;
  int remembered_ = 0;
  bool ended_ = false;
  bool shared_ = false;
  char buffer_[kBufferSize];
};

}  // namespace sr
