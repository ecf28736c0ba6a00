// Runs the compiled script and relays its output to the web server and its error lines to the
// error log.
#pragma once

#include "runner/run_state.h"

namespace sr {

// Starts the open executable (state.executable_fd) in the script's folder with the switch string
// as its arguments, passes the request body, and relays until the script has ended and
// everything it wrote is out. A failed start ends the run through error_page with the reason.
void execute_and_relay(const RunState& state);

}  // namespace sr
