// Test helper: swaps a standard descriptor for a temporary file or a pipe, and back.
#pragma once

#include <fcntl.h>
#include <stdio_ext.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace sr::testing {

// Points `fd` at a fresh temporary file while alive; contents() reads what was written.
class FdCapture {
 public:
  explicit FdCapture(int fd) : fd_(fd) {
    std::fflush(nullptr);
    char name[] = "/tmp/sr_console_capture_XXXXXX";
    file_ = mkostemp(name, O_CLOEXEC);
    unlink(name);
    saved_ = fcntl(fd_, F_DUPFD_CLOEXEC, 0);
    dup2(file_, fd_);
  }
  ~FdCapture() {
    std::fflush(nullptr);
    dup2(saved_, fd_);
    close(saved_);
    close(file_);
  }
  FdCapture(const FdCapture&) = delete;
  FdCapture& operator=(const FdCapture&) = delete;

  std::string contents() const {
    std::string text;
    char block[4096];
    for (off_t at = 0;;) {
      const ssize_t n = pread(file_, block, sizeof block, at);
      if (n <= 0) return text;
      text.append(block, static_cast<std::size_t>(n));
      at += n;
    }
  }

 private:
  int fd_;
  int file_ = -1;
  int saved_ = -1;
};

// Makes standard input read `input` from a pipe (end of input after it) while alive.
class StdinFeed {
 public:
  explicit StdinFeed(const std::string& input) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) std::abort();
    // Small inputs only: the whole text must fit into the pipe before anyone reads.
    if (write(ends[1], input.data(), input.size()) != static_cast<ssize_t>(input.size())) {
      std::abort();
    }
    close(ends[1]);
    saved_ = fcntl(0, F_DUPFD_CLOEXEC, 0);
    dup2(ends[0], 0);
    close(ends[0]);
    __fpurge(stdin);
    std::clearerr(stdin);
  }
  ~StdinFeed() {
    __fpurge(stdin);
    std::clearerr(stdin);
    dup2(saved_, 0);
    close(saved_);
  }
  StdinFeed(const StdinFeed&) = delete;
  StdinFeed& operator=(const StdinFeed&) = delete;

 private:
  int saved_ = -1;
};

}  // namespace sr::testing
