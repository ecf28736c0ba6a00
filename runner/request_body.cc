#include "runner/request_body.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "runtime/console/console.h"
#include "runtime/strings/strings.h"

namespace sr {
namespace {

constexpr std::size_t kChunk = 64 * 1024;

}  // namespace

std::int32_t content_length_of(std::string_view text) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(string_to_number(text)));
}

std::int32_t RequestBody::content_length() {
  return content_length_of(get_environment_variable("CONTENT_LENGTH"));
}

RequestBody::RequestBody(ProgramHandle script, std::int32_t content_length) : script_(script) {
  if (content_length < 0) {
    print_error_line(kRefusedBodyWarning);
  }
  if (content_length <= 0) {
    // A script that reads its input on a request without a body sees the end at once.
    close_program_input(script_);
    return;
  }
  active_ = true;
  unread_ = content_length;
  buffer_.resize(kChunk);
}

bool RequestBody::wants_standard_input() const {
  return active_ && !stdin_ended_ && unread_ > 0 && pending() == 0;
}

void RequestBody::read_standard_input_now() {
  if (!wants_standard_input()) return;
  const std::size_t want = static_cast<std::size_t>(std::min<std::int64_t>(unread_, kChunk));
  ssize_t n;
  do {
    n = read(STDIN_FILENO, buffer_.data(), want);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) {
    // The body is shorter than declared: the script's input ends where ours did.
    stdin_ended_ = true;
    unread_ = 0;
    return;
  }
  begin_ = 0;
  end_ = static_cast<std::size_t>(n);
  unread_ -= n;
}

void RequestBody::pass_to_script() {
  while (active_) {
    const char* data = buffer_.data() + begin_;
    const std::size_t size = pending();
    if (size == 0) {
      if (unread_ == 0) finish();
      return;
    }
    const int n = write_program_data_now(script_, data, static_cast<int>(size));
    if (n < 0) return finish();  // the script closed its input: stop passing, keep relaying
    if (n == 0) return;
    begin_ += static_cast<std::size_t>(n);
  }
}

void RequestBody::finish() {
  active_ = false;
  close_program_input(script_);
  buffer_ = {};
}

}  // namespace sr
