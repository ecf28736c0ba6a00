#include "runtime/console/clock.h"

#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include <gtest/gtest.h>

#include "runtime/console/console.h"

namespace sr {
namespace {

TEST(ElapsedSince, MillisecondsFromTheBaseSecondWrappingIn32Bits) {
  struct Row {
    const char* name;
    std::int64_t base, seconds, microseconds;
    std::int32_t expected;
  };
  const Row rows[] = {
      {"within the base second", 1700000000, 1700000000, 999999, 999},
      {"microseconds are truncated", 1700000000, 1700000000, 1999, 1},
      {"one and a half seconds later", 1700000000, 1700000001, 500000, 1500},
      {"last positive value", 0, 2147483, 647999, 2147483647},
      {"wraps to the most negative value", 0, 2147483, 648000, -2147483647 - 1},
      {"wraps round to zero after 2^32 ms", 100, 100 + 4294967, 296000, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(elapsed_since(row.base, row.seconds, row.microseconds), row.expected);
  }
}

TEST(DelayTimespec, SplitsMillisecondsTruncatingTowardZero) {
  struct Row {
    std::int32_t ms;
    time_t seconds;
    long nanoseconds;
  };
  const Row rows[] = {{0, 0, 0},
                      {1, 0, 1000000},
                      {999, 0, 999000000},
                      {1000, 1, 0},
                      {1500, 1, 500000000},
                      {-1500, -1, -500000000},
                      {2147483647, 2147483, 647000000}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.ms);
    const timespec delay = delay_timespec(row.ms);
    EXPECT_EQ(delay.tv_sec, row.seconds);
    EXPECT_EQ(delay.tv_nsec, row.nanoseconds);
  }
}

// Milliseconds that elapsed_milliseconds must give at `at` for the base second `base`.
std::int64_t expected_at(const timeval& at, time_t base) {
  return (at.tv_sec - base) * 1000 + at.tv_usec / 1000;
}

// Runs in a fresh child so that its first call is the process's first call.
int check_first_calls() {
  for (int attempt = 0; attempt < 5; ++attempt) {
    timeval before{}, after{};
    gettimeofday(&before, nullptr);
    const std::int32_t first = elapsed_milliseconds();
    gettimeofday(&after, nullptr);
    if (before.tv_sec != after.tv_sec) continue;  // the base second is ambiguous; try again
    const time_t base = before.tv_sec;
    if (first < expected_at(before, base) || first > expected_at(after, base)) {
      std::fprintf(stderr, "first call gave %d\n", first);
      return 1;
    }
    delay_milliseconds(1100);
    gettimeofday(&before, nullptr);
    const std::int32_t second = elapsed_milliseconds();
    gettimeofday(&after, nullptr);
    if (second < expected_at(before, base) || second > expected_at(after, base)) {
      std::fprintf(stderr, "second call gave %d\n", second);
      return 1;
    }
    return 0;
  }
  return 2;
}

TEST(ElapsedMilliseconds, CountsFromTheWholeSecondOfTheFirstCall) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(check_first_calls());
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace sr
