// Tables of programs with the exact bytes on standard output and standard error and the exit
// code that running each must give.
#pragma once

#include <string>
#include <vector>

namespace sr::test {

struct RunCase {
  const char* name;
  std::string source;  // the program after the runner's ";" first line
  std::string out;
  std::string err = "";
  int exit_code = 0;
  std::string input = "";
};

// Compiles and runs every case with ZR_TEST set in the environment and the arguments "first"
// and "second arg", and checks its results.
void check_cases(const std::vector<RunCase>& cases);

}  // namespace sr::test
