// Decodes the program form that the compiler's serialize_program writes, and the trailer that
// locates it. Damaged bytes are refused, never followed outside the program's tables.
#pragma once

#include <stdint.h>

#include "compiler/program_codes.h"
#include "compiler/stub/bytes.h"
#include "compiler/stub/pod_array.h"
#include "compiler/stub/text.h"

namespace sr::zr {

struct LoadedProgram {
  uint32_t int_slots = 0;
  uint32_t string_slots = 0;
  uint32_t array_slots = 0;
  TextList strings;
  PodArray<ProcedureInfo> procedures;
  uint32_t first_included_line = 0;  // see Program::included_lines
  PodArray<uint32_t> include_lines;
  TextList included_places;
  // The main program's line for run-time line `line`, with the place in an included file
  // ("" in the main program).
  uint32_t reported_line(uint32_t line, Bytes& place) const;
  PodArray<Instruction> code;
};

// Fills `program` (which must be empty) and returns true when `bytes` are exactly one
// well-formed program whose every operand lies within its tables.
bool read_program(Bytes bytes, LoadedProgram& program);

// The program length named by a trailer; false when the size or the magic is wrong.
bool read_trailer(Bytes trailer, uint64_t& program_length);

}  // namespace sr::zr
