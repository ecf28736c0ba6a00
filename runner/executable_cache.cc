#include "runner/executable_cache.h"

#include "runner/error_page.h"
#include "runner/switches.h"
#include "runtime/console/console.h"
#include "runtime/datetime/datetime.h"
#include "runtime/datetime/files.h"
#include "runtime/strings/strings.h"

namespace sr {

void check_script_path(const RunState& state) {
  if (file_size(state.script_path) == -1) {
    error_page(state,
               "The environmentvariable SCRIPT_FILENAME contains an invalid or no filename: " +
                   state.script_path);
  }
}

bool force_mode(const RunState& state) {
  return has_switch(state, "-f") || has_switch(state, "--force");
}

void set_executable_path(RunState& state) {
  state.executable_path =
      temporary_directory() + "zr-executable_" + remove_string(state.script_path, "/");
  if (force_mode(state)) {
    state.executable_path +=
        format_date("_%yyyy-%mm-%dd_%hh-%ii-%ss_CanBeDeleted_", current_date()) +
        number_to_string(random_number(9999999)) + ".tmp";
    set_environment_variable("ZR_Interpreter_ParamForce", "1");
  }
}

bool executable_is_stale(const RunState& state) {
  return file_date(state.script_path, 2) > file_date(state.executable_path, 0);
}

}  // namespace sr
