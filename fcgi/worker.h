// A request's process: either the cached executable itself, started by the server once the
// runner's phases found it current, or the runner, started as the kernel would start it for the
// script. Either way it is started without copying the server (vfork), in a process group of its
// own, with the request's pipes as its standard streams and the request's environment.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "fcgi/request_environment.h"
#include "runtime/files/unique_fd.h"
#include "runtime/process/child_side.h"

namespace sr::fcgi {

struct Worker {
  pid_t pid = -1;   // also the id of the process's own group
  UniqueFd input;   // write end of its standard input (the request body)
  UniqueFd output;  // read end of its standard output (the response)
  UniqueFd error;   // read end of its standard error
};

struct WorkerStart {
  std::string file;                     // the program to run, when `executable` is not open
  int executable = -1;                  // an open file to run instead
  std::vector<std::string> arguments;   // entry 0 is the program's name
  std::string directory;                // "" stays in the server's
  unsigned long long memory_limit = 0;  // RLIMIT_AS in bytes; 0: unlimited
};

// Starts `setup` (its exec_report is set here) and waits for its exec. The pid; -1 when no pipe
// or process could be made (errno), or when the exec failed (`exec_error` set, the process
// collected).
pid_t start_reported(ChildSetup& setup, int& exec_error);

// Starts the process; our ends of its pipes are non-blocking and close-on-exec. False when no
// pipe or process could be made (errno), or when the exec failed (`exec_error` set).
bool start_worker(const WorkerStart& start, RequestEnvironment& environment, Worker& worker,
                  int& exec_error);

}  // namespace sr::fcgi
