#include <pthread.h>
#include <sys/time.h>

#include <bit>
#include <cstdint>

#include "runtime/datetime/datetime.h"

namespace sr {
namespace {

constexpr int kLag = 17;
constexpr std::uint32_t kSeedMultiplier = 2891336453u;
constexpr int kWarmUpSteps = 31;

// Process-wide generator state: two lagged tables and their two indexes.
struct RandomState {
  std::uint32_t a[kLag];
  std::uint32_t b[kLag];
  int p1;
  int p2;
  bool seeded;
};

RandomState state_;

std::uint32_t step() {
  const std::uint32_t a = std::rotl(state_.b[state_.p1], 19) + state_.b[state_.p2];
  const std::uint32_t b = std::rotl(state_.a[state_.p1], 27) + state_.a[state_.p2];
  state_.a[state_.p1] = a;
  state_.b[state_.p1] = b;
  state_.p1 = state_.p1 == 0 ? kLag - 1 : state_.p1 - 1;
  state_.p2 = state_.p2 == 0 ? kLag - 1 : state_.p2 - 1;
  return a;
}

void fill(std::uint32_t x) {
  for (int i = 0; i < kLag; ++i) {
    x = x * kSeedMultiplier + 1;
    state_.b[i] = x;
    x = x * kSeedMultiplier + 1;
    state_.a[i] = x;
  }
  state_.p1 = 0;
  state_.p2 = 10;
  for (int i = 0; i < kWarmUpSteps; ++i) step();
}

// Seeds from the clock and the calling thread, the first time only.
void seed_once() {
  if (state_.seeded) return;
  state_.seeded = true;
  timeval now{};
  gettimeofday(&now, nullptr);
  const auto clock = static_cast<std::uint32_t>(now.tv_sec) * 1000u +
                     static_cast<std::uint32_t>(now.tv_usec / 1000);
  fill(clock ^ static_cast<std::uint32_t>(pthread_self()));
}

}  // namespace

void seed_random(std::uint32_t seed) {
  seed_once();
  fill(seed);
}

std::uint32_t random_number(std::int32_t max) {
  seed_once();
  const std::uint32_t a = step();
  const std::uint32_t range = static_cast<std::uint32_t>(max) + 1u;
  if (range == 0) return a;
  return static_cast<std::uint32_t>((static_cast<std::uint64_t>(a) * range) >> 32);
}

}  // namespace sr
