// Start-up and shutdown of every runtime service, in their fixed order.
#pragma once

namespace sr {

// Text files, console, regular expressions, child programs.
void init_runtime();
// Regular expressions freed, terminal restored, open text files flushed and closed.
void shutdown_runtime();

}  // namespace sr
