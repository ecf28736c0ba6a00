// Arithmetic of the process clock and the delay, apart from the system calls.
#pragma once

#include <time.h>

#include <cstdint>

namespace sr {

// (seconds - base) * 1000 + microseconds / 1000, wrapping in 32 bits.
std::int32_t elapsed_since(std::int64_t base, std::int64_t seconds, std::int64_t microseconds);

// Seconds and nanoseconds of `ms`, both truncated toward zero.
timespec delay_timespec(std::int32_t ms);

}  // namespace sr
