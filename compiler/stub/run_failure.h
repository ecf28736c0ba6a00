// How a run ends on an error: fail_run reports it and ends the run being watched, whose entry
// then returns 1 to its caller. Outside a watched run (a program being loaded), it ends the
// process with 1.
#pragma once

#include <setjmp.h>
#include <stdint.h>

namespace sr::zr {

class OutputBuffer;
struct Host;
struct LoadedProgram;

// Writes "Runtime error at line N: message" to the error stream in one write. In a watched run,
// N is the run's current line, and the run goes back to its entry; otherwise N is 0, the report
// goes to descriptor 2 and the process exits with 1. Output: when the run had sent some, the
// rest of its buffer follows; else the buffer is dropped and the answer is a CGI header
// "Status: 500 Internal Server Error" (text/plain, empty; text/html with the error under the
// warning mode, ZR_Interpreter_ParamWarn=1).
[[noreturn]] void fail_run(const char* message);

// Outside a watched run, whether descriptor 1 is a page (a process started for one request, as
// by default) or nobody's (a resident process, between its requests): only a page is answered.
void set_unwatched_output_is_page(bool is_page);

// Makes fail_run finish `out` as above, name the line that `line` points at and report through
// `host`, for as long as it lives; a line of an included file is named as the program's Include
// line and the place in the file. The run's entry calls setjmp(failed) once, before the run starts:
// fail_run comes back there with 1, skipping every frame between (whose blocks the allocation
// ledger still holds).
class WatchedRun {
 public:
  WatchedRun(OutputBuffer& out, const uint32_t& line, const LoadedProgram& program,
             const Host& host);
  ~WatchedRun();
  WatchedRun(const WatchedRun&) = delete;
  WatchedRun& operator=(const WatchedRun&) = delete;

  jmp_buf failed;
  OutputBuffer& out;
  const uint32_t& line;
  const LoadedProgram& program;
  const Host& host;
  bool failing = false;  // a failure is being reported
};

}  // namespace sr::zr
