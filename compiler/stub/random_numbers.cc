#include "compiler/stub/random_numbers.h"

#include <sys/random.h>
#include <time.h>
#include <unistd.h>

namespace sr::zr {
namespace {

uint64_t state_;
bool seeded_ = false;

// splitmix64: one addition and a mix per value, and every 64-bit state is a good one.
uint64_t next_value() {
  uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

// From the kernel's generator; where that is unavailable, from the clock and the process id,
// which still differ between any two runs on one machine.
void seed() {
  seeded_ = true;
  if (getrandom(&state_, sizeof state_, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof state_)) {
    return;
  }
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  state_ = static_cast<uint64_t>(now.tv_sec) * 1000000007ULL ^ static_cast<uint64_t>(now.tv_nsec) ^
           static_cast<uint64_t>(getpid()) << 40;
}

}  // namespace

void start_random_sequence() {
  seeded_ = false;
}

int64_t random_below(int64_t n) {
  if (!seeded_) seed();
  const auto range = static_cast<uint64_t>(n);
  // Values from the incomplete last round of `range` are drawn again, so none is favoured.
  const uint64_t rejected_from = UINT64_MAX - UINT64_MAX % range;
  uint64_t value;
  do {
    value = next_value();
  } while (value >= rejected_from);
  return static_cast<int64_t>(value % range);
}

}  // namespace sr::zr
