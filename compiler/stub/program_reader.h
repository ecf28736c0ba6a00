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
  PodArray<Instruction> code;
};

// Fills `program` (which must be empty) and returns true when `bytes` are exactly one
// well-formed program whose every operand lies within its tables.
bool read_program(Bytes bytes, LoadedProgram& program);

// The program length named by a trailer; false when the size or the magic is wrong.
bool read_trailer(Bytes trailer, uint64_t& program_length);

}  // namespace sr::zr
