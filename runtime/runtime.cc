#include "runtime/runtime.h"

#include "runtime/console/console.h"
#include "runtime/process/process.h"
#include "runtime/regex/regex.h"
#include "runtime/textfile/textfile.h"

namespace sr {

void init_runtime() {
  init_text_files();
  init_console();
  init_regex_library();
  init_child_programs();
}

void shutdown_runtime() {
  shutdown_regex_library();
  restore_terminal();
  shutdown_text_files();
}

}  // namespace sr
