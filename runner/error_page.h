// The runner's one fatal exit.
#pragma once

#include <string_view>

#include "runner/run_state.h"

namespace sr {

// The message and LF to standard error; with -w/--warn also a text/html header and the message
// to standard output. Then the runtime shuts down and the process exits with code 0.
[[noreturn]] void error_page(const RunState& state, std::string_view message);
// As above, with a second line on standard error only: the path and the system's reason, its
// control bytes escaped.
[[noreturn]] void error_page(const RunState& state, std::string_view message,
                             std::string_view detail);

// As above for a message that ends in text from the request, such as a path: the page shows it
// as given, the log line with its control bytes escaped, so that it cannot forge a line.
[[noreturn]] void error_page_naming(const RunState& state, std::string_view message,
                                    std::string_view request_text, std::string_view detail = {});

// Removes the files this run made, shuts the runtime down and exits with code 0, without
// waiting for threads or child programs.
[[noreturn]] void end_run();

}  // namespace sr
