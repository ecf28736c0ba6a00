// Child programs started from one argument string, with pipes on their standard streams; each
// exit code is collected through the program's pidfd when next asked for, or by a detached
// reaper thread where the system gives no pidfd. Failures show only as a 0 handle, a 0
// result, an empty line or a short count.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sr {

// 0 names no program.
using ProgramHandle = std::intptr_t;

struct ProgramFlag {
  static constexpr int wait = 1;      // return only after the program has ended
  static constexpr int open = 4;      // return a handle; without it the result is 1 or 0
  static constexpr int read = 8;      // pipe from the program's standard output
  static constexpr int write = 16;    // pipe to the program's standard input
  static constexpr int error = 32;    // pipe from the program's standard error
  static constexpr int connect = 64;  // standard input from the source program's output
};

// The registry of open programs and its recursive mutex. Also makes a write to a program that
// closed its input return a short count instead of raising SIGPIPE in this process; children
// start with the default signal dispositions all the same.
void init_child_programs();

// `program` with a "/" is tested in place, a bare name is searched in PATH (never in the current
// directory). `arguments` is split by split_program_arguments; an empty `directory` inherits
// ours. With ProgramFlag::open: a handle, 0 when not started. Without: 1 started, 0 not.
ProgramHandle start_program(std::string_view program, std::string_view arguments,
                            std::string_view directory, int flags, ProgramHandle source = 0);

// As start_program, with the arguments given one by one: nothing is split, so an argument may
// hold blanks and double quotes. start_program is this with split_program_arguments(arguments).
ProgramHandle start_program_with_arguments(std::string_view program,
                                           const std::vector<std::string>& arguments,
                                           std::string_view directory, int flags,
                                           ProgramHandle source = 0);

// As start_program_with_arguments, but the program's whole environment is `environment`
// ("NAME=VALUE" entries) instead of this process's.
ProgramHandle start_program_in_environment(std::string_view program,
                                           const std::vector<std::string>& arguments,
                                           std::string_view directory, int flags,
                                           const std::vector<std::string>& environment);

// As start_program with ProgramFlag::open, but executes the open file `executable` (a descriptor
// from open, O_PATH will do) instead of a name, so that what runs is the file that was checked,
// whatever happens to its name meanwhile. `program` is what the program sees as its name. 0 when
// it could not be started; when the exec itself failed, `exec_error` holds its errno (else 0).
ProgramHandle start_program_file(int executable, std::string_view program,
                                 std::string_view arguments, std::string_view directory, int flags,
                                 int& exec_error);

// Blanks, tabs and LF separate; an argument that begins with a double quote runs to the next
// one; no escapes.
std::vector<std::string> split_program_arguments(std::string_view text);

// Bytes that can be read at once: the pipe's count, or the remembered count less what was read.
int available_program_output(ProgramHandle program);
// Waits until `size` bytes came or the output ended; returns the count read.
int read_program_data(ProgramHandle program, void* buffer, int size);
// The next output line without its LF (a CR before it stays); waits for it. "" at the end.
std::string read_program_output_line(ProgramHandle program);
// As above for standard error, but "" at once when nothing is available.
std::string read_program_error_line(ProgramHandle program);
// Writes and flushes; returns the count accepted (short when the program closed its input).
int write_program_data(ProgramHandle program, const void* data, int size);
void close_program_input(ProgramHandle program);
// Closes our end of the program's output pipe: its next write meets SIGPIPE or EPIPE, as when a
// reader has gone.
void close_program_output(ProgramHandle program);

// True until the output has met its end; then waits for the program's end and gives false.
// Without an output stream: true while the process exists.
bool program_running(ProgramHandle program);
// True when the program has ended; 0 asks without waiting, -1 waits without limit. Polls in
// 2-ms steps.
bool wait_program(ProgramHandle program, int timeout_ms);
// -1 until the end was collected; then 0-255, or 1 when a signal ended the program.
int program_exit_code(ProgramHandle program);
void kill_program(ProgramHandle program);
// Closes the streams and releases the handle; neither waits for nor stops the program.
void close_program(ProgramHandle program);

// --- Non-blocking access for a relay that waits on all streams of a program at once. ---

// Descriptors to poll; -1 where the stream was not requested or is closed. `ended` becomes
// readable once the program has ended; program_exit_code then gives its code.
struct ProgramDescriptors {
  int output = -1;
  int input = -1;
  int error = -1;
  int ended = -1;
};
ProgramDescriptors program_descriptors(ProgramHandle program);

// Takes up to `size` output bytes that are there now, buffered ones first. Returns the count,
// 0 when none waits, -1 once the output has ended and nothing is left.
int read_program_output_now(ProgramHandle program, void* buffer, int size);
// Bytes waiting on the output pipe and in its buffer, exactly (no remembered counts).
int pending_program_output(ProgramHandle program);
// Pulls what waits on the error pipe without blocking. True with the next complete line (LF
// removed, CR kept), or, once the stream has ended, with its last unterminated line.
bool read_program_error_line_now(ProgramHandle program, std::string& line);
// Takes the error line begun but not ended, for when no more of it will be waited for (a
// descendant may hold the stream open). False when none was begun.
bool take_program_error_rest(ProgramHandle program, std::string& line);
// True once the error stream has ended and no line is left in its buffer.
bool program_error_at_end(ProgramHandle program);
// Writes what the input pipe takes now. Returns the count (0 when it is full), or -1 when the
// program closed its input or no input stream is open.
int write_program_data_now(ProgramHandle program, const void* data, int size);

}  // namespace sr
