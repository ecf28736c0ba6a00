// Reads a program with the files it includes: each `Include "path"` line at the top level is
// replaced by the lines of that file, between markers that let the compiler check that the file
// closes every block it opens. A file already included is skipped.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "compiler/compile_error.h"

namespace sr::zr {

struct SourceLine {
  enum class Kind { code, include_begin, include_end };
  Kind kind = Kind::code;
  uint32_t line = 0;  // the main program's line: the line itself or its outermost Include
  std::string where;  // "" in the main program, else "path line M: " for each included level
  std::string text;
  uint32_t run_line = 0;  // the line its code runs under (see Program::included_lines)
};

// Reads the file at `path` into `content` and names it in `identity` (the same for every path
// that leads to the same file); false when it cannot be read.
using IncludeReader =
    std::function<bool(const std::string& path, std::string& content, std::string& identity)>;

// The reader of the real file system: paths as given, identities by device and inode.
bool read_included_file(const std::string& path, std::string& content, std::string& identity);

// Expands the includes of the main program (`lines` of the file at `main_path`; "" when it has
// no folder to resolve relative Includes from, which makes them errors). Problems with an
// Include line (a missing file, a malformed line) are added to `errors`; the rest is left to
// the compiler.
std::vector<SourceLine> expand_includes(const std::string& main_path,
                                        const std::vector<std::string>& lines,
                                        const IncludeReader& reader,
                                        std::vector<CompileError>& errors);

}  // namespace sr::zr
