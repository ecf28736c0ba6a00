// Collects the instructions and string constants of the program being compiled.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

#include "compiler/program_format.h"

namespace sr::zr {

class CodeBuilder {
 public:
  void set_line(uint32_t line) { line_ = line; }
  // Appends an instruction at the current line; returns its index for later patching.
  size_t emit(Op op, int64_t arg = 0, int64_t arg2 = 0, int64_t arg3 = 0);
  void patch(size_t at, size_t target) { program_.code[at].arg = static_cast<int64_t>(target); }
  size_t here() const { return program_.code.size(); }

  int64_t string_constant(const std::string& text);

  Program& program() { return program_; }

 private:
  Program program_;
  uint32_t line_ = 0;
  std::unordered_map<std::string, int64_t> constants_;
};

}  // namespace sr::zr
