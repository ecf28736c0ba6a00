// Decides whether a program can be started, and which file that is.
#pragma once

#include <cstddef>
#include <string_view>

namespace sr {

// A name with "/" is tested in place; a name that begins with "/" or "./" goes no further;
// otherwise the PATH directories are tried left to right (never the current directory).
// On success `found` holds the file that passed the test, terminated.
bool find_program(std::string_view program, char* found, std::size_t capacity);

// Puts the current directory before a relative `path`, so that it names the same file after the
// new process has changed its directory. False when the result does not fit.
bool anchor_to_current_directory(char* path, std::size_t capacity);

}  // namespace sr
