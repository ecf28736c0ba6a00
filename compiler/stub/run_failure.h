// How a run ends on an error: the executable is the whole process, so an error (or a failed
// allocation, wherever it happens) flushes what the program wrote, reports and exits.
#pragma once

#include <stdint.h>

namespace sr::zr {

class OutputBuffer;
struct LoadedProgram;

// Writes "Runtime error at line N: message" to standard error in one write and exits with 1.
// Output buffered by the run being watched reaches its reader first; N is that run's current
// line, or 0 when no run is being watched.
[[noreturn]] void fail_run(const char* message);

// Makes fail_run flush `out` and name the line that `line` points at, for as long as it lives;
// a line of an included file is named as the program's Include line and the place in the file.
class WatchedRun {
 public:
  WatchedRun(OutputBuffer& out, const uint32_t& line, const LoadedProgram& program);
  ~WatchedRun();
  WatchedRun(const WatchedRun&) = delete;
  WatchedRun& operator=(const WatchedRun&) = delete;
};

}  // namespace sr::zr
