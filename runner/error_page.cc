#include "runner/error_page.h"

#include <unistd.h>

#include <cstdio>

#include "runner/switches.h"
#include "runtime/console/console.h"
#include "runtime/runtime.h"

namespace sr {

void error_page(const RunState& state, std::string_view message) {
  print_error_line(message);
  if (has_switch(state, "-w") || has_switch(state, "--warn")) {
    print_line("Content-Type: text/html\n");
    print_line(message);
  }
  end_run();
}

void end_run() {
  shutdown_runtime();
  std::fflush(nullptr);
  // Reaper threads may still wait for a killed compiler; nothing of theirs needs to finish.
  _exit(0);
}

}  // namespace sr
