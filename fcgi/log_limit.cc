#include "fcgi/log_limit.h"

#include "fcgi/server.h"

namespace sr::fcgi {

void RateLimitedLog::write(const std::string& message) {
  const auto now = std::chrono::steady_clock::now();
  if (written_ && now - last_ < std::chrono::seconds(1)) {
    ++suppressed_;
    return;
  }
  std::string line = message;
  if (suppressed_ > 0) {
    line += " (" + std::to_string(suppressed_) + " more such lines left out)";
  }
  log_message(line);
  written_ = true;
  last_ = now;
  suppressed_ = 0;
}

}  // namespace sr::fcgi
