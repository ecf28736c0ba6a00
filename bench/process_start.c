// Times the ways a long-running server can start a process per request, from a process of a
// given size, taking turns between them in every round: copying the server (fork) or borrowing
// its memory until the exec (vfork), each with the child exiting at once or executing PROGRAM.
//
// Usage: process_start [-n ROUNDS] [-m MEGABYTES] PROGRAM
//   -n  measured rounds (default 200); -m  memory the process holds and has touched (default 8)
// Output lines, as bench/alternate prints them:
//   time NAME median_us q1_us q3_us min_us runs failures
//   raw NAME t1 t2 ...
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

enum Way { kForkExit, kVforkExit, kForkExec, kVforkExec, kWays };
static const char* const kNames[kWays] = {"fork_exit", "vfork_exit", "fork_exec", "vfork_exec"};

static const char* program;
static int null_fd;

static double now_us(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1e6 + t.tv_nsec / 1e3;
}

static void child(enum Way way) {
  if (way == kForkExit || way == kVforkExit) _exit(0);
  dup2(null_fd, STDOUT_FILENO);
  char* argv[] = {(char*)program, NULL};
  execve(program, argv, environ);
  _exit(127);
}

// One start, from before the new process exists until it has been reaped; -1 when it failed.
static double start_once(enum Way way) {
  const double started = now_us();
  const pid_t pid = (way == kForkExit || way == kForkExec) ? fork() : vfork();
  if (pid == 0) child(way);
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0) {
    return -1;
  }
  return now_us() - started;
}

static int compare(const void* a, const void* b) {
  const double x = *(const double*)a, y = *(const double*)b;
  return (x > y) - (x < y);
}

static void report(const char* name, const double* times, int runs, int failures) {
  printf("raw %s", name);
  for (int i = 0; i < runs; ++i) printf(" %.1f", times[i]);
  printf("\n");
  double* sorted = malloc(sizeof(double) * (runs > 0 ? runs : 1));
  memcpy(sorted, times, sizeof(double) * runs);
  qsort(sorted, runs, sizeof(double), compare);
  if (runs > 0) {
    printf("time %s %.1f %.1f %.1f %.1f %d %d\n", name, sorted[runs / 2], sorted[runs / 4],
           sorted[(3 * runs) / 4], sorted[0], runs, failures);
  }
  free(sorted);
}

int main(int argc, char** argv) {
  int rounds = 200, megabytes = 8, option;
  while ((option = getopt(argc, argv, "n:m:")) != -1) {
    if (option == 'n') rounds = atoi(optarg);
    if (option == 'm') megabytes = atoi(optarg);
  }
  if (optind != argc - 1 || rounds <= 0 || megabytes < 0) {
    fprintf(stderr, "usage: process_start [-n ROUNDS] [-m MEGABYTES] PROGRAM\n");
    return 2;
  }
  program = argv[optind];
  null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  // The size of a server that has been running for a while, every page of it mapped.
  const size_t size = (size_t)megabytes << 20;
  char* memory = malloc(size ? size : 1);
  memset(memory, 1, size);
  double* times[kWays];
  int runs[kWays] = {0}, failures[kWays] = {0};
  for (int way = 0; way < kWays; ++way) times[way] = malloc(sizeof(double) * rounds);
  for (int round = 0; round < rounds; ++round) {
    for (int way = 0; way < kWays; ++way) {
      const double took = start_once((enum Way)way);
      if (took < 0) {
        ++failures[way];
      } else {
        times[way][runs[way]++] = took;
      }
    }
  }
  for (int way = 0; way < kWays; ++way) report(kNames[way], times[way], runs[way], failures[way]);
  return memory[size / 2] == 1 ? 0 : 1;
}
