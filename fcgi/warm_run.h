// The runner's phases up to the start of the executable, run inside the server when they need
// nothing but reads: the switches, the script check, the warm cache decision and every export.
// The server then starts the cached executable itself, and a warm request costs one process start.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fcgi/request_environment.h"
#include "fcgi/resident_link.h"
#include "fcgi/worker.h"
#include "runner/decision_stamps.h"
#include "runtime/files/unique_fd.h"

namespace sr::fcgi {

struct WarmRun {
  // The file that the cache decision accepted, open when the decision was taken in full; a
  // remembered decision leaves it to open_warm_executable, as a resident process may need none.
  UniqueFd executable;
  FileStamp stamp;                  // of the accepted file
  ExecutableIdentity identity;      // the same, as resident processes are told apart
  WorkerStart start;                // its arguments and the script's folder
  std::int32_t content_length = 0;  // the body bytes that the script gets, as the runner counts
};

// `argv` is what the kernel would pass the runner (interpreter, [switches], script path);
// `runner_path` the runner file the request is answered as. Adds the runner's exports to
// `environment` and returns the run, or std::nullopt, with `environment` untouched, when only the
// runner itself can answer: a build, a wait for a lock, a failure to report, a time zone other
// than the server's. `remembered`, when given, holds the script's last decision that found its
// executable current (reset and refilled as needed), valid only while the script's stamp is the
// one it was taken under.
std::optional<WarmRun> prepare_warm_run(RequestEnvironment& environment,
                                        const std::vector<std::string>& argv,
                                        const std::string& runner_path,
                                        std::optional<DecisionStamps>* remembered = nullptr);

// Opens the accepted file when it is not open yet: by its name, no link followed, and only while
// that name still holds a trusted file with the accepted stamp. False otherwise.
bool open_warm_executable(WarmRun& run);

}  // namespace sr::fcgi
