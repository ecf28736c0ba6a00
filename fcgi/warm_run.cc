#include "fcgi/warm_run.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <ctime>

#include "runner/cache_files.h"
#include "runner/executable_cache.h"
#include "runner/exported_variables.h"
#include "runner/request_body.h"
#include "runner/run_state.h"
#include "runner/switches.h"
#include "runtime/datetime/datetime.h"
#include "runtime/process/process.h"
#include "runtime/strings/strings.h"

namespace sr::fcgi {
namespace {

void export_phase(RequestEnvironment& environment, const ExportFacts& facts, ExportPhase phase) {
  for (const auto& [name, value] : exported_variables(facts, phase)) {
    // The runner's exports pass through C strings: a NUL ends a name.
    environment.set(std::string_view(name).substr(0, name.find('\0')), value);
  }
}

// The date that the runner exports is local time under the request's TZ; the server's clock
// answers only for the server's own TZ.
bool same_time_zone(const RequestEnvironment& environment) {
  const char* ours = ::getenv("TZ");
  if (ours == nullptr) return !environment.has("TZ");
  return environment.has("TZ") && environment.get("TZ") == ours;
}

std::int64_t milliseconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

// The date changes once a second: the zone's file is looked at once a second, not three times
// per request. A value is kept only when its second did not end while it was taken.
DateValue date_now() {
  static std::time_t kept_second = -1;
  static DateValue kept = 0;
  const std::time_t before = std::time(nullptr);
  if (before == kept_second) return kept;
  const DateValue date = current_date();
  if (std::time(nullptr) == before) {
    kept_second = before;
    kept = date;
  }
  return date;
}

ExecutableIdentity identity_of(const FileStamp& stamp) {
  return {static_cast<dev_t>(stamp.device), static_cast<ino_t>(stamp.inode),
          static_cast<off_t>(stamp.size), stamp.changed_ns};
}

// The cache decision, taken from `remembered` while nothing it rested on has changed.
bool decide(RunState& state, WarmRun& run, std::optional<DecisionStamps>* remembered) {
  if (remembered != nullptr && *remembered && decision_still_holds(**remembered)) {
    state.executable_path = (*remembered)->executable_path;
    run.stamp = (*remembered)->executable;
    return true;
  }
  DecisionStamps stamps;
  const bool current = open_cached_executable(state, &stamps);
  if (remembered != nullptr) remembered->reset();
  if (!current) return false;
  run.executable.reset(state.executable_fd);
  run.stamp = stamps.executable;
  if (remembered != nullptr) *remembered = std::move(stamps);
  return true;
}

}  // namespace

bool open_warm_executable(WarmRun& run) {
  if (!run.executable) {
    struct stat status;
    UniqueFd fd = open_trusted_executable(run.start.arguments.front(), status);
    if (!fd || stamp_of(status) != run.stamp) return false;
    run.executable = std::move(fd);
  }
  run.start.executable = run.executable.get();
  return true;
}

std::optional<WarmRun> prepare_warm_run(RequestEnvironment& environment,
                                        const std::vector<std::string>& argv,
                                        const std::string& runner_path,
                                        std::optional<DecisionStamps>* remembered) {
  const auto started = std::chrono::steady_clock::now();
  if (argv.size() < 2 || !same_time_zone(environment)) return std::nullopt;
  RunState state;
  state.switch_string = clean_switch_string(argv[1]);
  state.switch_list = split_switch_list(state.switch_string);
  state.script_path = environment.get("SCRIPT_FILENAME");
  ExportFacts facts;
  facts.program_filename = runner_path;
  facts.force = force_mode(state);
  WarmRun run;
  if (!decide(state, run, remembered)) return std::nullopt;
  run.identity = identity_of(run.stamp);
  export_phase(environment, facts, ExportPhase::start);
  export_phase(environment, facts, ExportPhase::before_build);
  facts.query_string = environment.get("QUERY_STRING");
  if (!facts.query_string.empty()) facts.request_uri = environment.get("REQUEST_URI");
  facts.date = date_now();
  facts.compress = compress_mode(state);
  facts.warn = warn_mode(state);
  facts.parse = parse_mode(state);
  facts.creation_time_ms = milliseconds_since(started);
  export_phase(environment, facts, ExportPhase::before_run);
  run.start.executable = run.executable.get();
  run.start.arguments.push_back(state.executable_path);
  for (std::string& piece : split_program_arguments(state.switch_string)) {
    run.start.arguments.push_back(std::move(piece));
  }
  run.start.directory = path_part(state.script_path);
  run.content_length = content_length_of(environment.get("CONTENT_LENGTH"));
  return run;
}

}  // namespace sr::fcgi
