// The vocabulary of the program form, shared by the compiler that writes it and the stub that
// reads it. The stub is built without the C++ library, so this header uses only C headers.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "compiler/program_lists.h"

namespace sr::zr {

#define SR_ZR_OPCODE_NAME(name, operands) name,
enum class Op : uint8_t { SR_ZR_OPCODES(SR_ZR_OPCODE_NAME) kCount };
#undef SR_ZR_OPCODE_NAME

enum class ArrayScope : uint8_t { frame, global };
// ArrayFlags bits: the elements are strings; a ReDim that keeps the elements that still fit; the
// slot holds a map, whose values have keys.
inline constexpr int64_t kArrayOfStrings = 1;
inline constexpr int64_t kArrayKeep = 2;
inline constexpr int64_t kArrayIsMap = 4;

// The instructions that carry arg2 and arg3 in the serialized form.
inline bool has_three_operands(Op op) {
#define SR_ZR_OPCODE_OPERANDS(name, operands) operands,
  static constexpr uint8_t kOperands[] = {SR_ZR_OPCODES(SR_ZR_OPCODE_OPERANDS)};
#undef SR_ZR_OPCODE_OPERANDS
  static_assert(sizeof kOperands == static_cast<size_t>(Op::kCount));
  return static_cast<size_t>(op) < sizeof kOperands && kOperands[static_cast<size_t>(op)] == 3;
}

// A procedure: where its code starts and how many slots of each kind a call of it gets.
struct ProcedureInfo {
  uint32_t entry = 0;
  uint32_t int_slots = 0;
  uint32_t string_slots = 0;
  uint32_t array_slots = 0;
};

// Calls nested deeper than this end the run; each one costs a frame on the heap, not the stack.
inline constexpr size_t kCallDepthLimit = 100000;

enum class Compare : uint8_t { eq, ne, lt, gt, le, ge };
enum class Channel : uint8_t { out, out_line, error_line };

#define SR_ZR_BUILTIN_CODE(code, ...) code,
enum class Builtin : uint8_t { SR_ZR_BUILTINS(SR_ZR_BUILTIN_CODE) kCount };
#undef SR_ZR_BUILTIN_CODE

// The built-ins whose first argument is a text that they only read: a variable given there can
// be read where it lies (Op::call_on_string).
inline bool reads_first_text_in_place(Builtin builtin) {
  switch (builtin) {
    case Builtin::len:
    case Builtin::asc:
    case Builtin::left:
    case Builtin::right:
    case Builtin::mid2:
    case Builtin::mid3:
    case Builtin::find2:
    case Builtin::find3:
    case Builtin::field:
      return true;
    default:
      return false;
  }
}

struct Instruction {
  Op op = Op::end;
  int64_t arg = 0;
  int64_t arg2 = 0;
  int64_t arg3 = 0;
  uint32_t line = 0;
};

// A serialized program starts with these bytes.
inline constexpr char kProgramHeader[] = "ZRP2";
inline constexpr size_t kProgramHeaderSize = sizeof kProgramHeader - 1;

// The trailer at the very end of an executable: magic, then the program's length in bytes, both
// 64-bit little-endian. The magic's low 16 bits are the trailer's version: 1 for an executable
// that runs once per process, 4 for one that also declares resident mode (compiler/README.md)
// with the protocol in which a run may answer on the web server's connection itself; the
// compiler writes 4. An executable of trailer 2 or 3 speaks an older resident protocol and is
// run once per request.
inline constexpr uint64_t kTrailerMagicBase = 0x5a52'5052'4f47'0000ULL;
inline constexpr uint64_t kTrailerOnceVersion = 1;
inline constexpr uint64_t kTrailerResidentVersion = 4;
inline constexpr uint64_t kTrailerMagic = kTrailerMagicBase | kTrailerResidentVersion;
inline constexpr size_t kTrailerSize = 16;

}  // namespace sr::zr
