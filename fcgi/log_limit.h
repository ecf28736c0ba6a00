// Log lines that a hostile client can cause at will: at most one a second of each kind, so that
// a flood of bad connections cannot flood the log; the lines left out are counted in the next.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace sr::fcgi {

class RateLimitedLog {
 public:
  // Writes `message` through log_message, or counts it when a line went out less than a
  // second ago.
  void write(const std::string& message);

 private:
  std::chrono::steady_clock::time_point last_{};
  bool written_ = false;
  std::size_t suppressed_ = 0;
};

}  // namespace sr::fcgi
