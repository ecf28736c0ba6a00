// The process's console, environment, clock and own path. Nothing here reports an error:
// failures give "", a short count or the started name, as documented per function.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sr {

// Kept by the driver before init_runtime; read by program_parameter and program_filename.
void set_program_arguments(int argc, char** argv);

// Byte orientation for the three standard streams; saves the terminal attributes of fd 0.
void init_console();
// Puts a terminal on fd 0 into non-canonical, no-echo mode; always returns 1.
int open_console();
void restore_terminal();

// Text and one LF to standard output / standard error, flushed.
void print_line(std::string_view text);
void print_error_line(std::string_view text);
// Blocks until `count` bytes came or input ended; returns the bytes read.
int read_standard_input(void* buffer, int count);
// Writes and flushes; returns the bytes accepted, 0 when they could not be passed on.
int write_standard_output(const void* buffer, int count);

// "" when unset.
std::string get_environment_variable(std::string_view name);
// Overwrites; an empty name does nothing.
void set_environment_variable(std::string_view name, std::string_view value);

// Sets each variable as set_environment_variable would, in order, in time linear in the number
// of variables (one call per variable rescans the whole environment).
void set_environment_variables(const std::vector<std::pair<std::string, std::string>>& variables);

// Milliseconds since the whole second of the first call; only differences are meaningful.
std::int32_t elapsed_milliseconds();
void delay_milliseconds(std::int32_t ms);

// The runner's own path from /proc/self/exe, or argv[0] when that cannot be read.
std::string program_filename();
// Argument `index` after the program name (0-based); "" when out of range.
std::string program_parameter(int index);

}  // namespace sr
