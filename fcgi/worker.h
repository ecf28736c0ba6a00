// One request's process: forked from the server, it takes the request's params as its whole
// environment and runs the runner's phases as if the kernel had started the runner for the
// script named by SCRIPT_FILENAME.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

#include "fcgi/params.h"
#include "runtime/files/unique_fd.h"

namespace sr::fcgi {

struct Worker {
  pid_t pid = -1;   // also the id of the worker's own process group
  UniqueFd input;   // write end of the worker's standard input (the request body)
  UniqueFd output;  // read end of its standard output (the response)
  UniqueFd error;   // read end of its standard error
};

struct WorkerSetup {
  const NameValuePairs& params;
  const std::vector<std::pair<std::string, std::string>>& extra_env;  // --env, after the params
  const std::string& runner_path;  // the runner whose file the request is answered as
};

// Forks the worker; our ends of its pipes are non-blocking and close-on-exec. False when no
// pipe or process could be made.
bool start_worker(const WorkerSetup& setup, Worker& worker);

}  // namespace sr::fcgi
