#include "compiler/program_format.h"

namespace sr::zr {
namespace {

void put_varint(std::string& out, uint64_t value) {
  while (value >= 0x80) {
    out.push_back(static_cast<char>((value & 0x7f) | 0x80));
    value >>= 7;
  }
  out.push_back(static_cast<char>(value));
}

// Signed values are zigzag-coded so that small negative numbers stay short.
void put_signed(std::string& out, int64_t value) {
  put_varint(out, (static_cast<uint64_t>(value) << 1) ^ static_cast<uint64_t>(value >> 63));
}

}  // namespace

std::string serialize_program(const Program& program) {
  std::string out(kProgramHeader, kProgramHeaderSize);
  put_varint(out, program.int_slots);
  put_varint(out, program.string_slots);
  put_varint(out, program.array_slots);
  put_varint(out, program.strings.size());
  for (const std::string& s : program.strings) {
    put_varint(out, s.size());
    out += s;
  }
  put_varint(out, program.procedures.size());
  for (const ProcedureInfo& p : program.procedures) {
    for (uint32_t v : {p.entry, p.int_slots, p.string_slots, p.array_slots}) put_varint(out, v);
  }
  put_varint(out, program.first_included_line);
  put_varint(out, program.included_lines.size());
  for (const IncludedLine& l : program.included_lines) {
    put_varint(out, l.include_line);
    put_varint(out, l.where.size());
    out += l.where;
  }
  put_varint(out, program.code.size());
  uint32_t line = 0;
  for (const Instruction& in : program.code) {
    out.push_back(static_cast<char>(in.op));
    put_signed(out, static_cast<int64_t>(in.line) - line);  // lines mostly repeat or step by one
    line = in.line;
    put_signed(out, in.arg);
    if (has_three_operands(in.op)) {
      put_signed(out, in.arg2);
      put_signed(out, in.arg3);
    }
  }
  return out;
}

std::string make_trailer(uint64_t program_length) {
  std::string out;
  for (uint64_t v : {kTrailerMagic, program_length}) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
  }
  return out;
}

}  // namespace sr::zr
