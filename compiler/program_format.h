// The compact program form that the compiler appends to the stub: a stack machine with separate
// integer and string stacks, whose types the compiler has already checked.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "compiler/program_codes.h"

namespace sr::zr {

struct Program {
  uint32_t int_slots = 0;
  uint32_t string_slots = 0;
  std::vector<std::string> strings;
  std::vector<Instruction> code;
};

std::string serialize_program(const Program& program);
// Returns nothing when the bytes are not a well-formed program (indices, jumps, opcodes).
std::optional<Program> deserialize_program(std::string_view bytes);

std::string make_trailer(uint64_t program_length);
// The program length named by a trailer, or nothing when the magic is wrong.
std::optional<uint64_t> read_trailer(std::string_view trailer);

}  // namespace sr::zr
