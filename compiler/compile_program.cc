#include "compiler/compile_program.h"

#include <algorithm>
#include <cstdio>

#include "compiler/statement.h"

namespace sr::zr {
namespace {

// Messages may quote the source. The compiler prints them as C strings, one per line, so a zero
// byte would cut off everything after it; control bytes are shown as \xNN instead.
std::string printable(std::string message) {
  std::string out;
  for (char c : message) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 || c == '\t') {
      out += c;
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", byte);
      out += hex;
    }
  }
  return out;
}

}  // namespace

bool compile_program(const std::vector<std::string>& lines, Program& program,
                     std::vector<CompileError>& errors) {
  StatementCompiler compiler;
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string error = compiler.compile_line(static_cast<uint32_t>(i + 1), lines[i]);
    if (!error.empty())
      errors.push_back({static_cast<uint32_t>(i + 1), printable(std::move(error))});
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
