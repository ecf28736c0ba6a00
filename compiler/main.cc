// zrcompiler --quiet --executable EXE SRC: compiles SRC into the executable EXE. Every message
// goes to standard output as one line, since any output there means failure to the runner.
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <string>
#include <vector>

#include "compiler/compile_program.h"
#include "compiler/executable_writer.h"
#include "compiler/source_lines.h"

namespace {

int fail(const std::string& message) {
  std::fputs((message + "\n").c_str(), stdout);
  return 1;
}

// The stub lies beside the compiler's own file.
std::string stub_path() {
  char buffer[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return "zrstub";
  std::string self(buffer, static_cast<size_t>(n));
  return self.substr(0, self.rfind('/') + 1) + "zrstub";
}

struct Arguments {
  std::string executable;
  std::string source;
};

bool parse_arguments(int argc, char** argv, Arguments& args, std::string& error) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--quiet") continue;
    if (a == "--executable" && i + 1 < argc) {
      args.executable = argv[++i];
    } else if (a.starts_with("-") && a != "-") {
      error = "Unknown option: " + a;
      return false;
    } else if (args.source.empty()) {
      args.source = a;
    } else {
      error = "More than one source file given: " + a;
      return false;
    }
  }
  if (args.executable.empty() || args.source.empty()) {
    error = "Usage: zrcompiler [--quiet] --executable EXE SRC";
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Arguments args;
  std::string error;
  if (!parse_arguments(argc, argv, args, error)) return fail(error);
  std::string text;
  if (!sr::zr::read_whole_file(args.source, text)) {
    return fail("Cannot read the source file " + args.source);
  }
  std::vector<std::string> lines;
  if (!sr::zr::split_source_lines(text, lines, error)) return fail("Line 1: " + error);
  sr::zr::Program program;
  std::vector<sr::zr::CompileError> errors;
  if (!sr::zr::compile_program(lines, program, errors)) {
    std::string out;
    for (const auto& e : errors) out += "Line " + std::to_string(e.line) + ": " + e.message + "\n";
    std::fputs(out.c_str(), stdout);
    return 1;
  }
  std::string stub;
  const std::string stub_file = stub_path();
  if (!sr::zr::read_whole_file(stub_file, stub)) return fail("Cannot read the stub " + stub_file);
  error = sr::zr::write_executable(args.executable, stub, sr::zr::serialize_program(program));
  if (!error.empty()) return fail(error);
  return 0;
}
