#include "runner/driver.h"

#include "runner/build_executable.h"
#include "runner/cgi_export.h"
#include "runner/error_page.h"
#include "runner/executable_cache.h"
#include "runner/relay.h"
#include "runner/run_files.h"
#include "runner/run_state.h"
#include "runner/switches.h"
#include "runtime/console/console.h"
#include "runtime/runtime.h"

namespace sr {

void run_request(int argc, char** argv) {
  set_program_arguments(argc, argv);
  init_runtime();
  RunState state;
  export_variables(state, ExportPhase::start);
  remove_run_files_on_termination();
  state.start_time_ms = elapsed_milliseconds();
  if (open_console() != 0) {
    state.switch_string = clean_switch_string(program_parameter(0));
    state.switch_list = split_switch_list(state.switch_string);
    state.script_path = get_environment_variable("SCRIPT_FILENAME");
    check_script_path(state);
    export_variables(state, ExportPhase::before_build);
    provide_executable(state);
    export_variables(state, ExportPhase::before_run);
    execute_and_relay(state);
    remove_run_files();
  }
  end_run();
}

}  // namespace sr
