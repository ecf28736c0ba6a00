// The compact program form that the compiler appends to the stub: a stack machine with separate
// integer and string stacks, whose types the compiler has already checked.
#pragma once

#include <string>
#include <vector>

#include "compiler/program_codes.h"

namespace sr::zr {

struct IncludedLine {
  uint32_t include_line;  // the main program's outermost Include line
  std::string where;      // "path line M: ", one part for each level of Include
};

struct Program {
  uint32_t int_slots = 0;
  uint32_t string_slots = 0;
  uint32_t array_slots = 0;
  std::vector<std::string> strings;
  std::vector<ProcedureInfo> procedures;
  // Lines of included files run under numbers from `first_included_line` on, one each; a
  // run-time error there names the main program's Include line and the place in the file.
  uint32_t first_included_line = 0;
  std::vector<IncludedLine> included_lines;
  std::vector<Instruction> code;
};

// The bytes that compiler/stub/program_reader.h decodes again.
std::string serialize_program(const Program& program);

// The trailer to append after a program of `program_length` bytes (see kTrailerMagic).
std::string make_trailer(uint64_t program_length);

}  // namespace sr::zr
