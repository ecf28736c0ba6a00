// Runs the compiled script and relays its output to the web server and its error lines to the
// error log.
#pragma once

#include "runner/run_state.h"

namespace sr {

// Starts the executable in the script's folder with the switch string as its arguments, passes
// the request body, relays until the script has ended and everything it wrote is out, then
// deletes this run's temporary files.
void execute_and_relay(const RunState& state);

}  // namespace sr
