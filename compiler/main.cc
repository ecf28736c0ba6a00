// zrcompiler --quiet --executable EXE SRC: compiles SRC into the executable EXE.
// zrcompiler --check SRC: the same checks, no executable; each error line begins with "SRC: ", so
// that the lines of several checked files stay apart. Under the runner, which hands over a copy
// of the script under a name of its own, each line begins with the script's file name instead.
// Every message goes to standard output as one line, since any output there means failure to the
// runner, which shows that output as it is.
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "compiler/compile_program.h"
#include "compiler/executable_writer.h"
#include "compiler/source_lines.h"

namespace {

constexpr const char* kUsage =
    "Usage: zrcompiler [--quiet] --executable EXE SRC   compile SRC into the program EXE\n"
    "       zrcompiler --check SRC                      check SRC, write nothing\n"
    "       zrcompiler --help | --version\n"
    "Errors are printed one per line as \"Line N: message\" (with --check as\n"
    "\"SRC: Line N: message\", under the runner after the script's file name);\n"
    "the exit status is 0 on success, 1 otherwise.\n";

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
  enum class Mode { compile, check, help, version } mode = Mode::compile;
  std::string executable;
  std::string source;
};

bool parse_arguments(int argc, char** argv, Arguments& args, std::string& error) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--quiet") continue;
    if (a == "--help" || a == "--version") {
      args.mode = a == "--help" ? Arguments::Mode::help : Arguments::Mode::version;
      return true;
    }
    if (a == "--check") {
      args.mode = Arguments::Mode::check;
    } else if (a == "--executable" && i + 1 < argc) {
      args.executable = argv[++i];
    } else if (a.starts_with("-") && a != "-") {
      error = "Unknown option: " + a + " (zrcompiler --help lists the options)";
      return false;
    } else if (args.source.empty()) {
      args.source = a;
    } else {
      error = "More than one source file given: " + a;
      return false;
    }
  }
  const bool check = args.mode == Arguments::Mode::check;
  if (args.source.empty() || args.executable.empty() != check) {
    error = "Usage: zrcompiler [--quiet] --executable EXE SRC, or zrcompiler --check SRC";
    return false;
  }
  return true;
}

// The file whose folder the program's own Include lines start from. The runner hands over a
// copy of the script in the shared temporary folder; its includes lie beside the script itself
// (SCRIPT_FILENAME, from which the runner took it), and a file that another user placed in /tmp
// must never become part of the program. Under the runner without an absolute SCRIPT_FILENAME
// there is no such folder: "" makes relative Includes errors.
std::string main_program_path(const std::string& source) {
  if (std::getenv("ZR_Interpreter_Version") == nullptr) return source;
  const char* script = std::getenv("SCRIPT_FILENAME");
  return script != nullptr && script[0] == '/' ? script : "";
}

// What each error line begins with: "SRC: " for --check; under the runner the script's file name
// (without its folders, as the page under -w shows it to visitors), so that an error is not
// taken for one of another page or of an included file; nothing from the shell.
std::string error_prefix(const std::string& source, bool check) {
  if (check) return source + ": ";
  const std::string script = main_program_path(source);
  if (std::getenv("ZR_Interpreter_Version") == nullptr || script.empty()) return "";
  return script.substr(script.rfind('/') + 1) + ": ";
}

// A page whose first line names a runner that cannot be started fails before the runner could
// say anything, and web servers then report the page itself as missing: --check says which.
void warn_of_missing_runner(const std::string& prefix, const std::string& text) {
  if (!text.starts_with("#!")) return;
  const std::string line = text.substr(2, text.find('\n') - 2);
  const std::size_t start = line.find_first_not_of(" \t");
  if (start == std::string::npos) return;
  const std::string runner = line.substr(start, line.find_first_of(" \t", start) - start);
  if (access(runner.c_str(), X_OK) == 0) return;
  std::fputs(
      (prefix + "Line 1: warning: the runner named here, " + runner + ", cannot be started (" +
       std::strerror(errno) + "); a web server reports such a page as missing\n")
          .c_str(),
      stderr);
}

// Compiles the source; prints the errors, each after `prefix`, and returns false when there are
// any.
bool compile_source(const std::string& path, const std::string& prefix, bool check,
                    sr::zr::Program& program) {
  std::string text, error;
  if (!sr::zr::read_whole_file(path, text)) {
    fail("Cannot read the source file " + path);
    return false;
  }
  std::vector<std::string> lines;
  if (!sr::zr::split_source_lines(text, lines, error)) {
    fail(prefix + "Line 1: " + error);
    return false;
  }
  if (check) warn_of_missing_runner(prefix, text);
  // A script's shebang line is a comment to the compiler, as the runner passes it (";#!...").
  if (!lines.empty() && lines[0].starts_with("#!")) lines[0].clear();
  std::vector<sr::zr::CompileError> errors;
  if (sr::zr::compile_program(main_program_path(path), lines, sr::zr::read_included_file, program,
                              errors)) {
    return true;
  }
  std::string out;
  for (const auto& e : errors) {
    out += prefix + "Line " + std::to_string(e.line) + ": " + e.message + "\n";
  }
  std::fputs(out.c_str(), stdout);
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  Arguments args;
  std::string error;
  if (!parse_arguments(argc, argv, args, error)) return fail(error);
  if (args.mode == Arguments::Mode::help) return std::fputs(kUsage, stdout), 0;
  if (args.mode == Arguments::Mode::version)
    return std::fputs("zrcompiler " SR_VERSION "\n", stdout), 0;
  sr::zr::Program program;
  const bool check = args.mode == Arguments::Mode::check;
  if (!compile_source(args.source, error_prefix(args.source, check), check, program)) return 1;
  if (check) return 0;
  std::string stub;
  const std::string stub_file = stub_path();
  if (!sr::zr::read_whole_file(stub_file, stub)) return fail("Cannot read the stub " + stub_file);
  if (!sr::zr::write_executable(args.executable, stub, sr::zr::serialize_program(program), error)) {
    return fail(error);
  }
  return 0;
}
