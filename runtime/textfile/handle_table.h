// The table that maps text-file handles to their records.
#pragma once

#include <memory>
#include <vector>

#include "runtime/textfile/text_file_record.h"
#include "runtime/textfile/textfile.h"

namespace sr {

// A new non-zero handle for the record.
TextFile add_text_file(std::unique_ptr<TextFileRecord> file);
// The record of an open handle, or null.
TextFileRecord* find_text_file(TextFile handle);
// Releases the record; its descriptor is closed, its pending bytes are not written.
void remove_text_file(TextFile handle);
std::vector<TextFile> open_text_file_handles();

}  // namespace sr
