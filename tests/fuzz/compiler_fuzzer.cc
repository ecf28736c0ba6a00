// The stand-in compiler's front end on any source: it never crashes; a failed compile gives
// "Line N: message" lines in line order, N within the source, each message one non-empty line; a
// successful one gives a program that the stub's reader accepts and that serializes again to
// the same bytes.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "compiler/compile_program.h"
#include "compiler/program_format.h"
#include "compiler/source_lines.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using sr::fuzz::fail;
  const std::string_view source(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> lines;
  std::string error;
  if (!sr::zr::split_source_lines(source, lines, error)) {
    // Reported as "Line 1: " + error.
    if (error.empty() || error.find_first_of("\r\n") != std::string::npos) {
      fail("source refused without a one-line reason", "a reason", error);
    }
    return 0;
  }
  for (const std::string& line : lines) {
    if (line.find_first_of("\r\n") != std::string::npos) fail("a line holds a line end", "", line);
  }

  sr::zr::Program program;
  std::vector<sr::zr::CompileError> errors;
  const bool compiled = sr::zr::compile_program(lines, program, errors);
  if (!compiled) {
    if (errors.empty()) fail("a failed compile names no error", "an error", "none");
    std::uint32_t previous = 0;
    for (const sr::zr::CompileError& e : errors) {
      const std::string shown = "Line " + std::to_string(e.line) + ": " + e.message;
      if (e.line < 1 || e.line > lines.size()) {
        fail("error line outside the source", "1.." + std::to_string(lines.size()), shown);
      }
      // A line may carry two errors (a faulty If that still opens its block), but in order.
      if (e.line < previous) fail("errors out of line order", std::to_string(previous), shown);
      previous = e.line;
      if (e.message.empty() ||
          e.message.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
        fail("an error message that is not one printable line", "one line", shown);
      }
    }
    return 0;
  }
  if (!errors.empty()) fail("a successful compile reported errors", "", errors[0].message);

  const std::string bytes = sr::zr::serialize_program(program);
  const std::optional<sr::zr::Program> loaded = sr::zr::deserialize_program(bytes);
  if (!loaded) fail("the stub's reader refuses a compiled program", "accepted", "refused");
  const std::string again = sr::zr::serialize_program(*loaded);
  if (again != bytes) fail("program form does not survive a round trip", bytes, again);
  return 0;
}
