// One owned descriptor and the pipes of a child program.
#pragma once

namespace sr {

// Owns one descriptor and closes it exactly once.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  void reset(int fd = -1);
  int release();

 private:
  int fd_ = -1;
};

struct PipeEnds {
  UniqueFd read;
  UniqueFd write;
};

enum class OwnEnd { none, read, write, both };

// Both ends close-on-exec; the end(s) that this process keeps are non-blocking, the child's end
// stays blocking because the program expects ordinary standard streams. False when no pipe.
bool make_pipe(PipeEnds& ends, OwnEnd own);

}  // namespace sr
