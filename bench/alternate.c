// Times whole processes, taking turns between several commands in every round, so that each
// comparison is made under the same machine noise. Prints medians and per-round ratios.
//
// Usage: alternate [-n RUNS] [-w WARMUP] [-t SECONDS] [-o OUTPUT] [-i INPUT]
//                  NAME [touch:PATH] [stamp:PATH] -- ARGV... [::: NAME ... -- ARGV...]...
//   -n   measured rounds (default 50); -w unmeasured rounds first (default 3)
//   -t   stops after this many seconds of rounds, whatever -n says (default 120)
//   -o   the children's standard output (default /dev/null); -i their standard input
//   touch:PATH  before each run of this command, PATH gets a later future modification time
//   stamp:PATH  after each run, PATH holds the monotonic nanoseconds at which the program's own
//               child ended; the time from then to this command's end is reported as "after"
// Output lines:
//   time NAME median_us q1_us q3_us min_us runs failures
//   after NAME median_us q1_us q3_us min_us runs
//   ratio NAME FIRST median q1 q3   (this command's time / the first command's, same round)
//   raw NAME t1 t2 ...               (every measured round's time in microseconds, in order)
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

enum { kMaxCommands = 8, kMaxRuns = 10000 };

struct Command {
  const char* name;
  const char* touch;
  const char* stamp;
  char** argv;
  double* times;
  double* after;
  int after_count;
  int failures;
};

static double now_us(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec * 1e6 + (double)t.tv_nsec / 1e3;
}

static int compare(const void* a, const void* b) {
  double x = *(const double*)a, y = *(const double*)b;
  return (x > y) - (x < y);
}

// Sorts in place; nearest-rank quantile.
static double quantile(double* values, int count, double q) {
  qsort(values, (size_t)count, sizeof *values, compare);
  int index = (int)(q * (count - 1) + 0.5);
  return values[index];
}

static void print_stats(const char* kind, const char* name, double* values, int count) {
  if (count == 0) {
    printf("%s %s nan nan nan nan 0", kind, name);
    return;
  }
  double median = quantile(values, count, 0.5);
  printf("%s %s %.1f %.1f %.1f %.1f %d", kind, name, median, quantile(values, count, 0.25),
         quantile(values, count, 0.75), values[0], count);
}

static long long read_stamp(const char* path) {
  FILE* f = fopen(path, "r");
  if (f == NULL) return -1;
  long long ns = -1;
  if (fscanf(f, "%lld", &ns) != 1) ns = -1;
  fclose(f);
  unlink(path);
  return ns;
}

static double run_once(struct Command* c, const char* output, const char* input, int round) {
  if (c->touch != NULL) {
    // Whole seconds count for the cache, so each run moves the script two seconds further on.
    struct timespec times[2];
    times[0].tv_sec = times[1].tv_sec = time(NULL) + 100000 + 2L * round;
    times[0].tv_nsec = times[1].tv_nsec = 0;
    if (utimensat(AT_FDCWD, c->touch, times, 0) != 0) perror(c->touch);
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, input, O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output, O_WRONLY | O_APPEND, 0);
  double start = now_us();
  pid_t pid;
  int status = 0;
  if (posix_spawn(&pid, c->argv[0], &actions, NULL, c->argv, environ) != 0) {
    c->failures++;
  } else {
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  double end = now_us();
  posix_spawn_file_actions_destroy(&actions);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) c->failures++;
  if (c->stamp != NULL) {
    long long ns = read_stamp(c->stamp);
    if (ns > 0) c->after[c->after_count++] = end - (double)ns / 1e3;
  }
  return end - start;
}

int main(int argc, char** argv) {
  int runs = 50, warmup = 3;
  double limit_s = 120;
  const char* output = "/dev/null";
  const char* input = "/dev/null";
  int opt;
  while ((opt = getopt(argc, argv, "+n:w:t:o:i:")) != -1) {
    switch (opt) {
      case 'n': runs = atoi(optarg); break;
      case 'w': warmup = atoi(optarg); break;
      case 't': limit_s = atof(optarg); break;
      case 'o': output = optarg; break;
      case 'i': input = optarg; break;
      default: return 2;
    }
  }
  if (runs < 1 || runs > kMaxRuns) runs = kMaxRuns;
  struct Command commands[kMaxCommands];
  int count = 0;
  for (int i = optind; i < argc && count < kMaxCommands;) {
    struct Command* c = &commands[count++];
    memset(c, 0, sizeof *c);
    c->name = argv[i++];
    for (; i < argc && strcmp(argv[i], "--") != 0; i++) {
      if (strncmp(argv[i], "touch:", 6) == 0) c->touch = argv[i] + 6;
      if (strncmp(argv[i], "stamp:", 6) == 0) c->stamp = argv[i] + 6;
    }
    c->argv = &argv[++i];
    while (i < argc && strcmp(argv[i], ":::") != 0) i++;
    if (i < argc) argv[i++] = NULL;
    c->times = calloc((size_t)runs, sizeof(double));
    c->after = calloc((size_t)runs, sizeof(double));
  }
  if (count == 0 || commands[0].argv[0] == NULL) {
    fputs("usage: alternate [options] NAME [touch:PATH] [stamp:PATH] -- ARGV... [::: ...]\n", stderr);
    return 2;
  }
  double* ratios[kMaxCommands];
  for (int c = 0; c < count; c++) ratios[c] = calloc((size_t)runs, sizeof(double));

  double deadline = now_us() + limit_s * 1e6;
  int done = 0;
  for (int round = 0; round < warmup + runs && now_us() < deadline; round++) {
    double taken[kMaxCommands];
    // The order turns each round, so no command always runs right after the same other one.
    for (int k = 0; k < count; k++) {
      int c = (round + k) % count;
      int before = commands[c].after_count;
      taken[c] = run_once(&commands[c], output, input, round);
      if (round < warmup) commands[c].after_count = before;
    }
    if (round < warmup) continue;
    for (int c = 0; c < count; c++) {
      commands[c].times[done] = taken[c];
      ratios[c][done] = taken[c] / taken[0];
    }
    done++;
  }
  for (int c = 0; c < count; c++) {
    printf("raw %s", commands[c].name);
    for (int r = 0; r < done; r++) printf(" %.1f", commands[c].times[r]);
    printf("\n");
  }
  for (int c = 0; c < count; c++) {
    print_stats("time", commands[c].name, commands[c].times, done);
    printf(" %d\n", commands[c].failures);
    if (commands[c].stamp != NULL) {
      print_stats("after", commands[c].name, commands[c].after, commands[c].after_count);
      printf("\n");
    }
  }
  for (int c = 1; c < count; c++) {
    double* r = ratios[c];
    double median = quantile(r, done, 0.5);
    printf("ratio %s %s %.4f %.4f %.4f\n", commands[c].name, commands[0].name, median,
           quantile(r, done, 0.25), quantile(r, done, 0.75));
  }
  return 0;
}
