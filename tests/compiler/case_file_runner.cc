// Compiles and runs one language case file (tests/compiler/cases/**/*.zr) and compares what it
// wrote with the comments beside its lines, so that a case reads like a page:
//   WriteLine "a"        ; expect: a              one line of standard output, in order
//   a(5) = 1             ; expect error: Index out of range   the run's error, at this line
//   ; expect status: 500                          the first output line is "Status: 500 ..."
//                                                 and the expected lines are the page's body
//   ; env: NAME=VALUE    ; input: TEXT            the run's environment, a line of its input
// It runs in a folder of its own. Exits 0 when everything matches; otherwise prints each difference
// and exits 1.
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include <unistd.h>

#include "tests/compiler/compile_harness.h"

namespace {

struct Expectation {
  std::string out;  // the expected lines, each ended by "\n"
  std::string err;  // the expected error line, or ""
  std::string status;
  std::map<std::string, std::string> env;
  std::string input;
};

// The text after `marker` on the line, or false when the line has no such comment.
bool comment_value(const std::string& line, const std::string& marker, std::string& value) {
  const size_t at = line.find("; " + marker);
  if (at == std::string::npos) return false;
  value = line.substr(at + 2 + marker.size());
  if (!value.empty() && value[0] == ' ') value.erase(0, 1);
  return true;
}

Expectation read_expectation(const std::string& source) {
  Expectation e;
  std::istringstream lines(source);
  std::string line, value;
  for (int number = 1; std::getline(lines, line); ++number) {
    if (comment_value(line, "expect:", value)) e.out += value + "\n";
    if (comment_value(line, "expect error:", value)) {
      e.err = "Runtime error at line " + std::to_string(number) + ": " + value + "\n";
    }
    if (comment_value(line, "expect status:", value)) e.status = value;
    if (comment_value(line, "input:", value)) e.input += value + "\n";
    if (comment_value(line, "env:", value)) {
      const size_t eq = value.find('=');
      e.env[value.substr(0, eq)] = eq == std::string::npos ? "" : value.substr(eq + 1);
    }
  }
  return e;
}

// The output with its header taken off when the case expects a status: the header's first line
// must be that status.
bool page_body(const Expectation& e, std::string& out) {
  if (e.status.empty()) return true;
  if (out.rfind("Status: " + e.status, 0) != 0) return false;
  const size_t end = out.find("\n\n");
  out = end == std::string::npos ? "" : out.substr(end + 2);
  return true;
}

bool same(const char* what, const std::string& expected, const std::string& got) {
  if (expected == got) return true;
  std::printf("%s differs.\n--- expected\n%s--- got\n%s---\n", what, expected.c_str(), got.c_str());
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s CASE.zr\n", argv[0]);
    return 2;
  }
  std::ifstream file(argv[1], std::ios::binary);
  if (!file) {
    std::fprintf(stderr, "cannot read %s\n", argv[1]);
    return 2;
  }
  const std::string source{std::istreambuf_iterator<char>(file), {}};
  const Expectation e = read_expectation(source);
  sr::test::CompileSandbox box;
  // A case's files are its own: it runs in its sandbox folder.
  if (chdir(box.dir().c_str()) != 0) return 2;
  sr::test::ProcessResult run = box.compile_and_run(source, e.env, e.input);
  bool ok = page_body(e, run.out);
  if (!ok)
    std::printf("the output does not begin with Status: %s\n%s", e.status.c_str(), run.out.c_str());
  ok = same("standard output", e.out, run.out) && ok;
  ok = same("standard error", e.err, run.err) && ok;
  if ((run.exit_code == 0) != e.err.empty()) {
    std::printf("exit code %d\n", run.exit_code);
    ok = false;
  }
  return ok ? 0 : 1;
}
