// Test helper: runs under a given TZ setting and puts the old one back.
#pragma once

#include <time.h>

#include <cstdlib>
#include <optional>
#include <string>

namespace sr::testing {

class TzScope {
 public:
  explicit TzScope(const char* zone) {
    if (const char* old = std::getenv("TZ")) saved_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~TzScope() {
    if (saved_) {
      setenv("TZ", saved_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  TzScope(const TzScope&) = delete;
  TzScope& operator=(const TzScope&) = delete;

 private:
  std::optional<std::string> saved_;
};

// Zones east and west of UTC, with a half-hour offset, and with summer time.
inline constexpr const char* kZones[] = {
    "UTC0",
    "EST5",
    "IST-5:30",
    "NST3:30",
    "LINT-14",
    "CET-1CEST,M3.5.0,M10.5.0/3",
    "EST5EDT,M3.2.0,M11.1.0",
};

}  // namespace sr::testing
