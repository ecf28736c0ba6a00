// Passes the request body to the script while its output is relayed: CONTENT_LENGTH bytes from
// standard input (a shorter body ends where standard input ends), never more than fits in the pipe
// at once.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "runtime/process/process.h"

namespace sr {

// The log line of a body whose declared length comes out negative.
inline constexpr std::string_view kRefusedBodyWarning =
    "Warning: POST-data cannot be passed to executable's stdin due to insufficient memory "
    "allocation.";

// CONTENT_LENGTH's text as the body's length: only its low 32 bits count, taken as signed, so a
// huge value can come out negative (and is then refused with a warning).
std::int32_t content_length_of(std::string_view text);

class RequestBody {
 public:
  // content_length_of(CONTENT_LENGTH).
  static std::int32_t content_length();

  // Closes the script's input at once when there is nothing to pass.
  RequestBody(ProgramHandle script, std::int32_t content_length);

  // True while bytes remain to be passed.
  bool active() const { return active_; }
  // Whether the next wait should watch standard input, and the script's input pipe.
  bool wants_standard_input() const;
  bool wants_input_pipe() const { return active_ && pending() > 0; }

  // Reads what standard input has now (it was found readable), then passes what the script's
  // input pipe takes without waiting.
  void read_standard_input_now();
  void pass_to_script();

 private:
  std::size_t pending() const { return end_ - begin_; }
  void finish();

  ProgramHandle script_;
  bool active_ = false;
  bool stdin_ended_ = false;
  std::int64_t unread_ = 0;  // bytes still to take from standard input
  std::vector<char> buffer_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
};

}  // namespace sr
