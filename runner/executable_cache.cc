#include "runner/executable_cache.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "runner/cache_files.h"
#include "runner/error_page.h"
#include "runtime/datetime/files.h"

namespace sr {

void check_script_path(const RunState& state) {
  if (file_size(state.script_path) == -1) {
    error_page(state,
               "The environmentvariable SCRIPT_FILENAME contains an invalid or no filename: " +
                   state.script_path);
  }
}

bool open_current_executable(RunState& state) {
  struct stat status;
  UniqueFd fd = open_trusted_executable(state.executable_path, status);
  if (!fd) return false;
  // The dates compare as the signed 32-bit second counts that file_date gives.
  const auto built = static_cast<std::int32_t>(status.st_mtime);
  if (file_date(state.script_path, 2) > built) return false;
  state.executable_fd = fd.release();
  return true;
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
    error_page(state, "The compiled program cannot be started: " + state.executable_path,
               std::strerror(errno));
  }
  error_page(state, "The cached executable cannot be trusted: " + state.executable_path);
}

}  // namespace sr
