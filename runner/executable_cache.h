// The cache decision: whether the executable at executable_path may run for this script as it
// is, or must be built first.
#pragma once

#include <string>
#include <string_view>

#include "runner/cache_files.h"
#include "runner/decision_stamps.h"
#include "runner/run_state.h"

namespace sr {

// Ends the run through error_page when SCRIPT_FILENAME names nothing that can be examined.
void check_script_path(const RunState& state);

// True when `last`, the executable's record, shows a build of this very script file (path and
// identity) and executable_path holds a trusted file whose modification time is not earlier
// than the script's; it is then open in state.executable_fd, and that open file is what runs.
// `opened`, when given, gets the open file's status.
bool open_current_executable(RunState& state, const RecordedBuild& last,
                             struct stat* opened = nullptr);

// True when the executable's file name, grown by `extra` (a force suffix), leaves room within
// the file-name limit for the longest name that sits beside it (kLongestBesideSuffix).
bool cache_name_fits(const std::string& executable, std::size_t extra = 0);

// What the warm path finds at one cache name, without a lock and without building.
enum class CacheLookup {
  ready,  // a current executable of this script, open in state.executable_fd
  taken,  // the name belongs to another script, or is too long to be used
  stale,  // it must be built (or found blocked) under the lock first
};
// `stamps`, when given, gets the record as it was before it was read, and on `ready` the
// executable that was opened.
CacheLookup look_up_cache_name(RunState& state, const std::string& executable,
                               DecisionStamps* stamps = nullptr);

// The warm path of the whole decision: true when one of the script's cache names holds a current
// executable of this script, which is then open in state.executable_fd and named by
// state.executable_path. False whenever the runner would have to build, wait or report: in force
// mode, for a missing script, and for a path too long for a cache name. On true, `stamps` (when
// given) holds what the decision rested on besides the script.
bool open_cached_executable(RunState& state, DecisionStamps* stamps = nullptr);

// Opens the executable that this run has just built into state.executable_fd; ends the run
// through error_page when it is gone or not a trusted file.
void open_built_executable(RunState& state);

}  // namespace sr
