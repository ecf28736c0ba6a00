// The one owner of a file descriptor in the runtime and the runner.
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
  // Gives up ownership without closing.
  int release();
  // Closes now; false when close reports an error, so written data may not have reached the file.
  bool close_checked();

 private:
  int fd_ = -1;
};

}  // namespace sr
