#include "compiler/compile_program.h"

#include <algorithm>
#include <cstdio>

#include "compiler/declarations.h"
#include "compiler/statement.h"

namespace sr::zr {
namespace {

// Messages may quote the source. The compiler prints them as C strings, one per line, so a zero
// byte would cut off everything after it; control bytes are shown as \xNN instead.
std::string printable(const std::string& message) {
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

bool compile_program(const std::string& path, const std::vector<std::string>& lines,
                     const IncludeReader& reader, Program& program,
                     std::vector<CompileError>& errors) {
  std::vector<SourceLine> source = expand_includes(path, lines, reader, errors);
  // Included lines run under numbers past the main program's own.
  std::vector<IncludedLine> included;
  const auto first_included = static_cast<uint32_t>(lines.size() + 1);
  for (SourceLine& line : source) {
    line.run_line = line.line;
    if (line.where.empty()) continue;
    line.run_line = first_included + static_cast<uint32_t>(included.size());
    included.push_back({line.line, line.where});
  }
  Declarations declarations;
  declarations.collect(source);
  StatementCompiler compiler(declarations);
  for (size_t i = 0; i < source.size(); ++i) compiler.compile(source[i], i);
  compiler.finish(static_cast<uint32_t>(lines.size()));
  errors.insert(errors.end(), compiler.errors().begin(), compiler.errors().end());
  for (CompileError& e : errors) e.message = printable(e.message);
  // Blocks left open are found at the end but belong to their opening lines.
  std::stable_sort(errors.begin(), errors.end(), [](const CompileError& a, const CompileError& b) {
    return a.line != b.line ? a.line < b.line : a.order < b.order;
  });
  if (!errors.empty()) return false;
  program = std::move(compiler.program());
  program.procedures.resize(declarations.procedure_count());
  program.first_included_line = first_included;
  program.included_lines = std::move(included);
  return true;
}

}  // namespace sr::zr
