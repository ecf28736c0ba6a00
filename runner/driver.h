// One request from start-up to exit: every phase in its fixed order.
#pragma once

namespace sr {

// Never returns: the process exits with code 0 however the run ends.
[[noreturn]] void run_request(int argc, char** argv);

}  // namespace sr
