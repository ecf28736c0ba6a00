#include "runner/compile.h"

#include <memory>
#include <string>
#include <vector>

#include "runner/tool_environment.h"
#include "runtime/console/console.h"
#include "runtime/datetime/files.h"
#include "runtime/process/process.h"
#include "runtime/strings/strings.h"

namespace sr {
namespace {

constexpr int kCompileLimitMs = 5000;
constexpr int kKilledEndMs = 1000;

std::string runner_directory() {
  return path_part(program_filename());
}

// Output of a failed compile that is there right now, up to its first line end. Never waits:
// a compiler that stays silent, or a descendant that keeps the pipe open, must not hold the
// run (the compiler itself has been killed by then).
std::string first_line_waiting(ProgramHandle compiler) {
  std::string line;
  char byte;
  while (read_program_output_now(compiler, &byte, 1) == 1 && byte != '\n') line.push_back(byte);
  return line;
}

std::string failed_compile_output(ProgramHandle compiler, int available) {
  if (available > 0) {
    std::unique_ptr<char[]> block(new (std::nothrow) char[available]);
    if (block) {
      int n = read_program_data(compiler, block.get(), available);
      return string_from_memory(block.get(), n);
    }
  }
  if (!wait_program(compiler, 0)) kill_program(compiler);
  return first_line_waiting(compiler) +
         " (this was probably not the whole compiler output due to technical reasons)";
}

}  // namespace

std::optional<std::string> compile_script(const RunState& state) {
  const std::int32_t started = elapsed_milliseconds();
  // Whole arguments: a path with blanks or double quotes is never split apart.
  const std::vector<std::string> arguments = {"--quiet", "--executable", state.executable_path,
                                              state.source_path};
  ProgramHandle compiler =
      start_program_in_environment(runner_directory() + "compilers/zrcompiler", arguments, "",
                                   ProgramFlag::open | ProgramFlag::read, tool_environment(state));
  if (compiler == 0) return "Compiler could not be started.";
  wait_program(compiler, kCompileLimitMs);
  const int available = available_program_output(compiler);
  const std::int64_t spent = std::int64_t{elapsed_milliseconds()} - started;
  const bool failed =
      available != 0 || file_size(state.executable_path) == -1 || spent > kCompileLimitMs;
  if (!failed) return std::nullopt;
  std::string output = failed_compile_output(compiler, available);
  kill_program(compiler);
  // Its end is collected, so a half-written file of its own can no longer grow.
  wait_program(compiler, kKilledEndMs);
  close_program(compiler);
  return "Compilation process did not finish correctly. Error: \"" + output + "\".";
}

void compress_executable(const RunState& state) {
  if (start_program_in_environment(runner_directory() + "upx", {"-qqq", state.executable_path}, "",
                                   ProgramFlag::wait, tool_environment(state)) == 0) {
    print_error_line(
        "Something went wrong when compressing executable with UPX. Maybe the executable remains "
        "uncompressed. Resuming progress!");
  }
}

}  // namespace sr
