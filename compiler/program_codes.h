// The vocabulary of the program form, shared by the compiler that writes it and the stub that
// reads it. The stub is built without the C++ library, so this header uses only C headers.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace sr::zr {

enum class Op : uint8_t {
  push_int,     // arg: the value
  push_string,  // arg: index into strings
  load_int,     // arg: integer slot
  store_int,
  load_string,  // arg: string slot
  store_string,
  add,
  sub,
  mul,
  div,
  mod,
  negate,
  concat,
  int_compare,     // arg: Compare
  string_compare,  // arg: Compare
  logical_not,
  jump,           // arg: target instruction
  jump_if_false,  // pops an integer; arg: target
  jump_if_true,
  // arg: jump target; arg2: the loop variable's slot; arg3: the bound's slot, the step's follows.
  for_enter,     // jumps to arg (past the loop) when the start value is already beyond the bound
  for_next,      // steps the variable and jumps to arg (the loop body) while within the bound
  write_int,     // arg: Channel
  write_string,  // arg: Channel
  write_newline,
  flush,
  call,  // arg: Builtin
  end,   // pops the exit code
  // Plain loads and stores reach the variables of the running procedure (or of the top level
  // outside any); these reach the top level's from inside a procedure that declared them Global.
  load_global_int,
  store_global_int,
  load_global_string,
  store_global_string,
  for_enter_global,  // as for_enter / for_next with a top-level loop variable in arg2
  for_next_global,
  call_procedure,  // arg: index into the procedure table; the arguments are on the stacks
  return_procedure,
  drop_int,  // the value of a function called as a statement
  drop_string,
  // Arrays. arg: array slot; arg2: ArrayScope; arg3: ArrayFlags.
  array_dim,       // pops the highest index
  array_load,      // pops the index, pushes the element
  array_store,     // pops the value, then the index
  array_ubound,    // pushes the highest index, -1 while the array has no elements
  array_push_ref,  // pushes a reference for an array argument
  array_bind,      // pops a reference into an array slot of the running procedure
  kCount
};

enum class ArrayScope : uint8_t { frame, global };
// ArrayFlags bits: the elements are strings; a ReDim that keeps the elements that still fit.
inline constexpr int64_t kArrayOfStrings = 1;
inline constexpr int64_t kArrayKeep = 2;

// The instructions that carry arg2 and arg3 in the serialized form.
inline bool has_three_operands(Op op) {
  return op == Op::for_enter || op == Op::for_next || op == Op::for_enter_global ||
         op == Op::for_next_global || (op >= Op::array_dim && op <= Op::array_bind);
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

enum class Builtin : uint8_t {
  env,
  arg,
  arg_count,
  read_all,
  read_line,
  len,
  asc,
  chr,
  str,
  val,
  left,
  right,
  mid2,
  mid3,
  find2,
  find3,
  replace,
  trim,
  upper,
  lower,
  field,
  url_decode,
  html_escape,
  time,
  abs,
  min,
  max,
  url_encode,
  json_escape,
  form_value,
  format_date,
  random,
  read_file,
  write_file,
  append_file,
  file_exists,
  file_size,
  delete_file,
  split,
  join,
  kCount
};

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
// that runs once per process, 2 for one that also declares resident mode (compiler/README.md);
// the compiler writes 2.
inline constexpr uint64_t kTrailerMagicBase = 0x5a52'5052'4f47'0000ULL;
inline constexpr uint64_t kTrailerOnceVersion = 1;
inline constexpr uint64_t kTrailerResidentVersion = 2;
inline constexpr uint64_t kTrailerMagic = kTrailerMagicBase | kTrailerResidentVersion;
inline constexpr size_t kTrailerSize = 16;

}  // namespace sr::zr
