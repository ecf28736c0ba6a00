// Writes BENCH_MEGABYTES (default 100) * 1,000,000 bytes to standard output in 64 KiB writes:
// the relay's source. Read from the environment, since as a cached executable it gets the
// runner's switches as its arguments.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

int main(void) {
  const char* megabytes = getenv("BENCH_MEGABYTES");
  long long left = (megabytes != NULL ? atoll(megabytes) : 100) * 1000000LL;
  static char block[65536];
  memset(block, 'x', sizeof block);
  while (left > 0) {
    size_t want = left < (long long)sizeof block ? (size_t)left : sizeof block;
    ssize_t n = write(STDOUT_FILENO, block, want);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 1;
    left -= n;
  }
  return 0;
}
