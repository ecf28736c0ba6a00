#include "runner/executable_cache.h"

#include <limits.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string_view>

#include "runner/cache_files.h"
#include "runner/cache_names.h"
#include "runner/error_page.h"
#include "runner/switches.h"
#include "runtime/datetime/files.h"

namespace sr {

void check_script_path(const RunState& state) {
  if (file_size(state.script_path) == -1) {
    error_page_naming(
        state, "The environmentvariable SCRIPT_FILENAME contains an invalid or no filename: ",
        state.script_path);
  }
  // The compiler finds Include files from the script's folder: a relative name would make that
  // the runner's working directory, or the temporary one.
  if (!state.script_path.starts_with('/')) {
    error_page_naming(state,
                      "The environmentvariable SCRIPT_FILENAME contains no absolute filename: ",
                      state.script_path);
  }
}

bool open_current_executable(RunState& state, const RecordedBuild& last, struct stat* opened) {
  if (last.failed || last.script != state.script_path || !last.built_from) return false;
  // One look at the script serves both the identity and the date compared below.
  const std::optional<ScriptIdentity> script = identify_script(state.script_path);
  if (last.built_from != script) return false;
  struct stat status;
  UniqueFd fd = open_trusted_executable(state.executable_path, status);
  if (!fd) return false;
  // The dates compare as the signed 32-bit second counts that file_date gives, held at the
  // edges of that range.
  const auto built = static_cast<std::int32_t>(status.st_mtime);
  const auto written = static_cast<std::int32_t>(
      std::clamp<std::int64_t>(script->modified_s, std::numeric_limits<std::int32_t>::min(),
                               std::numeric_limits<std::int32_t>::max()));
  if (written > built) return false;
  if (opened != nullptr) *opened = status;
  state.executable_fd = fd.release();
  return true;
}

bool cache_name_fits(const std::string& executable, std::size_t extra) {
  const std::size_t base = executable.size() - (executable.rfind('/') + 1);
  return base + extra + kLongestBesideSuffix <= NAME_MAX;
}

CacheLookup look_up_cache_name(RunState& state, const std::string& executable,
                               DecisionStamps* stamps) {
  state.executable_path = executable;
  if (!cache_name_fits(executable)) return CacheLookup::taken;
  const std::string record = record_name(executable);
  // Taken before the read: a change after it shows as another stamp, never as the one read.
  if (stamps != nullptr) stamps->records.emplace_back(record, stamp_at(record, false));
  const RecordedBuild seen = read_record(record);
  if (!seen.script.empty() && seen.script != state.script_path) return CacheLookup::taken;
  struct stat opened;
  if (!open_current_executable(state, seen, &opened)) return CacheLookup::stale;
  if (stamps != nullptr) {
    stamps->executable_path = executable;
    stamps->executable = stamp_of(opened);
  }
  return CacheLookup::ready;
}

bool open_cached_executable(RunState& state, DecisionStamps* stamps) {
  if (force_mode(state) || !state.script_path.starts_with('/') ||
      file_size(state.script_path) == -1)
    return false;
  for (const std::string& name : {specified_executable_name(state.script_path),
                                  colliding_executable_name(state.script_path)}) {
    switch (look_up_cache_name(state, name, stamps)) {
      case CacheLookup::ready:
        return true;
      case CacheLookup::stale:
        return false;
      case CacheLookup::taken:
        break;
    }
  }
  return false;
}

void open_built_executable(RunState& state) {
  struct stat status;
  UniqueFd fd = open_trusted_executable(state.executable_path, status);
  if (fd) {
    state.executable_fd = fd.release();
    return;
  }
  if (lstat(state.executable_path.c_str(), &status) != 0) {
    // Something removed it after the compile (a packer that failed, for one).
    error_page_naming(state, "The compiled program cannot be started: ", state.executable_path,
                      std::strerror(errno));
  }
  error_page_naming(state, "The cached executable cannot be trusted: ", state.executable_path);
}

}  // namespace sr
