#include "runtime/textfile/handle_table.h"
#include "runtime/textfile/text_file_record.h"
#include "runtime/textfile/textfile.h"

namespace sr {

// The table lives as long as the process, so init has nothing left to set up; files opened
// before it still work.
void init_text_files() {}

void shutdown_text_files() {
  for (TextFile handle : open_text_file_handles()) close_text_file(handle);
}

void close_text_file(TextFile handle) {
  TextFileRecord* file = find_text_file(handle);
  if (file == nullptr) return;
  flush_and_discard(*file);
  remove_text_file(handle);
}

int text_file_at_end(TextFile handle) {
  TextFileRecord* file = find_text_file(handle);
  if (file == nullptr) return 0;
  char byte;
  if (buffered_read(*file, &byte, 1) == 0) return 1;
  push_back_bytes(*file, 1);
  return 0;
}

std::int64_t text_file_position(TextFile handle) {
  TextFileRecord* file = find_text_file(handle);
  return file == nullptr ? -1 : logical_position(*file);
}

void set_text_file_position(TextFile handle, std::int64_t position) {
  TextFileRecord* file = find_text_file(handle);
  if (file != nullptr) reposition(*file, position);
}

}  // namespace sr
