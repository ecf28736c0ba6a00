// One error that stops a compile, as the compiler prints it: "Line N: message".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace sr::zr {

struct CompileError {
  uint32_t line;  // from 1, in the main program
  std::string message;
  size_t order = 0;  // the source line's place among all lines read, includes counted
};

}  // namespace sr::zr
