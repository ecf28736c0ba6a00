#include "compiler/compile_program.h"

#include <algorithm>

#include "compiler/statement.h"

namespace sr::zr {

bool compile_program(const std::vector<std::string>& lines, Program& program,
                     std::vector<CompileError>& errors) {
  StatementCompiler compiler;
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string error = compiler.compile_line(static_cast<uint32_t>(i + 1), lines[i]);
    if (!error.empty()) errors.push_back({static_cast<uint32_t>(i + 1), std::move(error)});
  }
  compiler.finish(static_cast<uint32_t>(lines.size()), errors);
  // Blocks left open are found at the end but belong to their opening lines.
  std::stable_sort(errors.begin(), errors.end(),
                   [](const CompileError& a, const CompileError& b) { return a.line < b.line; });
  if (!errors.empty()) return false;
  program = compiler.program();
  return true;
}

}  // namespace sr::zr
