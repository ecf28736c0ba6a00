// The file functions. Safe in a folder that others can write to (such as /tmp): a link is never
// followed at the end of a path, only regular files are read or written, and a file that another
// user left in a shared folder with the sticky bit is not used. Failures give the sentinel results
// the language defines ("", 0, -1); only a path to the runner's cached programs in /tmp (by
// name, through links in its folder part, or as a link at its end) ends the run with an error.
#pragma once

#include <stdint.h>

#include "compiler/stub/bytes.h"
#include "compiler/stub/text.h"

namespace sr::zr {

Text read_file(Text& path);  // "" when it cannot be read
// Replaces the file as a whole through a temporary file beside it; 1 when all was written.
int64_t write_file(Text& path, Bytes text);
// Appends under an advisory lock so that concurrent appends never interleave; 1 when all of
// `text` was appended, and nothing of it stays behind otherwise.
int64_t append_file(Text& path, Bytes text);
int64_t file_exists(Text& path);  // 1 when a regular file is there
int64_t file_size(Text& path);    // -1 when no regular file is there
int64_t delete_file(Text& path);  // 1 when a regular file was removed
int64_t make_folder(Text& path);  // 1 when the folder was made (the umask applies)

}  // namespace sr::zr
