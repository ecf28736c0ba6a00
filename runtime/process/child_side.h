// What the new process does between fork and exec.
#pragma once

#include <sys/types.h>

namespace sr {

// Everything is prepared before fork: the new process only makes system calls.
struct ChildSetup {
  const char* file = nullptr;       // the file that the search accepted
  char** arguments = nullptr;       // entry 0 is the program name as given; null-terminated
  const char* directory = nullptr;  // null: stay where we are
  int output = -1;                  // the child's ends of the pipes, -1 without
  int input = -1;
  int error = -1;
  int connect = -1;  // another program's output pipe, to become standard input
  // An open file to execute instead of `file`, and the write end of a close-on-exec pipe that
  // carries the errno of a failed exec to the parent (an exec that succeeds closes it unwritten).
  // A pipe, not shared memory: a sanitizer's runtime may turn vfork into a real fork.
  int executable = -1;
  int exec_report = -1;
  // Set for a program that we follow: it is killed when we die, so a runner killed by the web
  // server's time-out leaves no script or compiler running on its own.
  pid_t follow_parent = 0;
  // Not killed when we die: a program that cleans up after itself and must be let finish.
  bool outlives_parent = false;
  char** environment = nullptr;  // null: the environment of this process
  bool own_group = false;        // leads a process group of its own, so the group can be stopped
  unsigned long long address_space_limit = 0;  // RLIMIT_AS in bytes for the program; 0: as is
};

// Enters the directory (a failure is ignored), installs the pipes as 0/1/2, restores the
// default signal dispositions and an empty mask, and executes; ends with status 1 if that fails.
[[noreturn]] void run_child(const ChildSetup& setup);

// fork with every signal blocked around it, so that no handler runs in the new process before
// it has reset them. Returns the pid, 0 never (the child runs `setup`), -1 on failure.
pid_t fork_child(const ChildSetup& setup);

}  // namespace sr
