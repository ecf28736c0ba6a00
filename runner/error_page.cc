#include "runner/error_page.h"

#include <unistd.h>

#include <cstdio>
#include <string>

#include "runner/run_files.h"
#include "runner/switches.h"
#include "runtime/console/console.h"
#include "runtime/runtime.h"
#include "runtime/strings/log_text.h"

namespace sr {

void error_page(const RunState& state, std::string_view message) {
  error_page(state, message, {});
}

void error_page(const RunState& state, std::string_view message, std::string_view detail) {
  error_page_naming(state, message, {}, detail);
}

void error_page_naming(const RunState& state, std::string_view message,
                       std::string_view request_text, std::string_view detail) {
  print_error_line(std::string(message) + escape_for_log(request_text));
  if (!detail.empty()) print_error_line(escape_for_log(detail));
  if (warn_mode(state)) {
    print_line("Content-Type: text/html\n");
    print_line(std::string(message).append(request_text));
  }
  end_run();
}

void end_run() {
  remove_run_files();
  shutdown_runtime();
  std::fflush(nullptr);
  // Reaper threads may still wait for a killed compiler; nothing of theirs needs to finish.
  _exit(0);
}

}  // namespace sr
