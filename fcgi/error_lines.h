// A script's standard error as the runner passes it to the error log: one line per LF, empty
// lines dropped, each line ending at its first NUL, and the last line counted without its LF
// once the stream has ended.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace sr::fcgi {

class ErrorLines {
 public:
  // An unfinished line is passed on in lines of this length, so that a script that writes
  // without LF cannot grow the server.
  static constexpr std::size_t kLongestLine = 64 * 1024;

  // Appends each line completed by `bytes` to `out`, LF-terminated.
  void feed(std::string_view bytes, std::string& out);
  // Appends the unfinished last line, if any: the stream has ended.
  void finish(std::string& out);

  // For a stream whose lines are already the log's (the runner's): `bytes` as they are, with a
  // LF after each kLongestLine bytes without one, the rule that feed() follows.
  void split(std::string_view bytes, std::string& out);

 private:
  void emit_full_pieces(std::string& out);

  std::string partial_;
  std::size_t run_ = 0;      // split(): bytes since the last LF
  bool just_split_ = false;  // split(): a LF was added, so one that follows ends nothing
};

}  // namespace sr::fcgi
