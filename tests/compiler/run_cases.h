// Tables of programs with the exact bytes on standard output and standard error and the exit
// code that running each must give.
#pragma once

#include <string>
#include <vector>

namespace sr::test {

// What a program that fails before it sent any output writes: the buffered part is dropped.
inline const std::string kFailedPage =
    "Status: 500 Internal Server Error\nContent-Type: text/plain\n\n";

struct RunCase {
  const char* name;
  std::string source;  // the program after the runner's ";" first line
  std::string out;
  std::string err = "";
  int exit_code = 0;
  std::string input = "";
};

struct CompileErrorCase {
  const char* name;
  std::string source;  // after the runner's ";" first line
  std::string messages;
};

// Compiles every case and checks that the compiler refuses it with exactly `messages`.
void check_compile_errors(const std::vector<CompileErrorCase>& cases);

// Compiles and runs every case with ZR_TEST set in the environment and the arguments "first"
// and "second arg", and checks its results.
void check_cases(const std::vector<RunCase>& cases);

}  // namespace sr::test
