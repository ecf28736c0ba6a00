#include "runner/source_preparation.h"

#include "runner/error_page.h"
#include "runtime/datetime/files.h"
#include "runtime/textfile/textfile.h"

namespace sr {

void prepare_plain_source(const RunState& state) {
  if (copy_file(state.script_path, state.source_path) == 0) {
    error_page(state, "Source file cannot be copied.");
  }
  TextFile source = open_text_file(state.source_path);
  if (source == 0) error_page(state, "Temporary source file cannot be edited.");
  // Detection leaves the position right behind a byte-order mark.
  const int format = detect_string_format(source);
  write_text_file_string(source, ";", format);
  close_text_file(source);
}

}  // namespace sr
