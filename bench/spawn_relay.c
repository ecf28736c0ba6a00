// The least a CGI host must do for a cached executable: start it with posix_spawn and copy its
// standard output through a pipe in 1000-byte blocks to our own. The yardstick for the runner.
// Usage: spawn_relay EXECUTABLE [ARGUMENT...]
#define _GNU_SOURCE  // pipe2
#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

static int write_all(const char* data, ssize_t size) {
  while (size > 0) {
    ssize_t n = write(STDOUT_FILENO, data, (size_t)size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    data += n;
    size -= n;
  }
  return 0;
}

int main(int argc, char** argv) {
  if (argc < 2) {
    fputs("usage: spawn_relay EXECUTABLE [ARGUMENT...]\n", stderr);
    return 2;
  }
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return 1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  pid_t pid;
  if (posix_spawn(&pid, argv[1], &actions, NULL, argv + 1, environ) != 0) return 1;
  close(out[1]);
  char block[1000];
  for (;;) {
    ssize_t n = read(out[0], block, sizeof block);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (write_all(block, n) != 0) break;
  }
  int status;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return 0;
}
