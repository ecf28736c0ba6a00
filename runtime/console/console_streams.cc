#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cwchar>
#include <string>

#include "runtime/console/console.h"

namespace sr {
namespace {

// Filled once by init_console; stays all zero when fd 0 is no terminal.
termios saved_terminal_;
// Whether fd 0 was a terminal at start: under a web server it is a pipe or socket, and the
// terminal calls are skipped rather than made to fail.
bool have_terminal_ = false;

// Texts are relayed as C strings would be: the bytes up to the first NUL.
std::string_view up_to_nul(std::string_view text) {
  return text.substr(0, std::min(text.find('\0'), text.size()));
}

// A signal without SA_RESTART sets the stream's error flag with EINTR; that is no real error.
bool interrupted(std::FILE* stream) {
  if (!std::ferror(stream) || errno != EINTR) return false;
  std::clearerr(stream);
  return true;
}

void flush(std::FILE* stream) {
  for (;;) {
    errno = 0;
    if (std::fflush(stream) == 0 || !interrupted(stream)) return;
  }
}

// Returns the bytes the stream accepted.
std::size_t write_bytes(std::FILE* stream, std::string_view bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    errno = 0;
    done += std::fwrite(bytes.data() + done, 1, bytes.size() - done, stream);
    if (done < bytes.size() && !interrupted(stream)) break;
  }
  return done;
}

}  // namespace

void init_console() {
  std::fwide(stdin, -1);
  std::fwide(stdout, -1);
  std::fwide(stderr, -1);
  have_terminal_ = tcgetattr(STDIN_FILENO, &saved_terminal_) == 0;
}

int open_console() {
  if (!have_terminal_) return 1;
  termios working = saved_terminal_;
  working.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  working.c_cc[VMIN] = 0;
  working.c_cc[VTIME] = 0;
  tcsetattr(STDIN_FILENO, TCSANOW, &working);
  return 1;
}

void restore_terminal() {
  if (!have_terminal_) return;
  tcsetattr(STDIN_FILENO, TCSANOW, &saved_terminal_);
}

void print_line(std::string_view text) {
  write_bytes(stdout, up_to_nul(text));
  write_bytes(stdout, "\n");
  flush(stdout);
}

void print_error_line(std::string_view text) {
  // One write per line: other processes append to the same error log.
  std::string line(up_to_nul(text));
  line.push_back('\n');
  write_bytes(stderr, line);
  flush(stderr);
}

int read_standard_input(void* buffer, int count) {
  if (buffer == nullptr || count <= 0) return 0;
  auto* bytes = static_cast<char*>(buffer);
  const auto wanted = static_cast<std::size_t>(count);
  std::size_t done = 0;
  while (done < wanted) {
    errno = 0;
    done += std::fread(bytes + done, 1, wanted - done, stdin);
    if (done < wanted && !interrupted(stdin)) break;
  }
  return static_cast<int>(done);
}

int write_standard_output(const void* buffer, int count) {
  if (buffer == nullptr || count <= 0) return 0;
  const std::string_view bytes(static_cast<const char*>(buffer), static_cast<std::size_t>(count));
  const std::size_t accepted = write_bytes(stdout, bytes);
  flush(stdout);
  // Buffered bytes that the flush could not pass on (nobody reads any more) were not written.
  if (std::ferror(stdout)) {
    std::clearerr(stdout);
    return 0;
  }
  return static_cast<int>(accepted);
}

}  // namespace sr
