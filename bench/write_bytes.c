// Writes MEGABYTES * 1,000,000 bytes to standard output in 64 KiB writes: the relay's source.
// Usage: write_bytes MEGABYTES
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char** argv) {
  long long left = (argc > 1 ? atoll(argv[1]) : 100) * 1000000LL;
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
