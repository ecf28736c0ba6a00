#include "runtime/console/clock.h"

#include <sys/time.h>

#include <cerrno>

#include "runtime/console/console.h"

namespace sr {
namespace {

// The whole second of the first call; 0 until then.
std::int32_t elapsed_base_ = 0;

}  // namespace

std::int32_t elapsed_since(std::int64_t base, std::int64_t seconds, std::int64_t microseconds) {
  // Unsigned arithmetic gives the 32-bit wrap without signed overflow.
  const auto ms = static_cast<std::uint32_t>(seconds - base) * 1000u +
                  static_cast<std::uint32_t>(microseconds / 1000);
  return static_cast<std::int32_t>(ms);
}

timespec delay_timespec(std::int32_t ms) {
  timespec delay{};
  delay.tv_sec = ms / 1000;
  delay.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  return delay;
}

std::int32_t elapsed_milliseconds() {
  timeval now{};
  gettimeofday(&now, nullptr);
  if (elapsed_base_ == 0) elapsed_base_ = static_cast<std::int32_t>(now.tv_sec);
  return elapsed_since(elapsed_base_, static_cast<std::int32_t>(now.tv_sec), now.tv_usec);
}

void delay_milliseconds(std::int32_t ms) {
  timespec delay = delay_timespec(ms);
  // One sleep only: a signal that cuts it short ends the delay.
  nanosleep(&delay, &delay);
}

}  // namespace sr
