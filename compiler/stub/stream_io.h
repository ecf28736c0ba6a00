// Standard output buffered in the executable, standard error written at once, standard input
// read in blocks and shared by ReadLine$ and ReadAll$.
#pragma once

#include <string>
#include <string_view>

namespace sr::zr {

// Writes everything, retrying on EINTR; gives up silently when the reader has gone.
void write_fully(int fd, std::string_view data);

class OutputBuffer {
 public:
  static constexpr size_t kCapacity = 64 * 1024;
  void write(std::string_view data);
  void flush();

 private:
  std::string buffer_;
};

class InputReader {
 public:
  // The next line without its LF (and a CR before it); "" at the end of input.
  std::string read_line();
  std::string read_all();

 private:
  bool fill();  // false at the end of input or on an error
  std::string pending_;
  bool at_end_ = false;
};

}  // namespace sr::zr
