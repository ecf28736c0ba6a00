// The runner's phases up to the start of the executable, run inside the server when they need
// nothing but reads: the switches, the script check, the warm cache decision and every export.
// The server then starts the cached executable itself, and a warm request costs one process start.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fcgi/request_environment.h"
#include "fcgi/worker.h"
#include "runtime/files/unique_fd.h"

namespace sr::fcgi {

struct WarmRun {
  UniqueFd executable;              // the file that the cache decision accepted
  WorkerStart start;                // its arguments and the script's folder
  std::int32_t content_length = 0;  // the body bytes that the script gets, as the runner counts
};

// `argv` is what the kernel would pass the runner (interpreter, [switches], script path);
// `runner_path` the runner file the request is answered as. Adds the runner's exports to
// `environment` and returns the run, or std::nullopt, with `environment` untouched, when only the
// runner itself can answer: a build, a wait for a lock, a failure to report, a time zone other
// than the server's.
std::optional<WarmRun> prepare_warm_run(RequestEnvironment& environment,
                                        const std::vector<std::string>& argv,
                                        const std::string& runner_path);

}  // namespace sr::fcgi
