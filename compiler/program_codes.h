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
  kCount
};

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
inline constexpr char kProgramHeader[] = "ZRP1";
inline constexpr size_t kProgramHeaderSize = sizeof kProgramHeader - 1;

// The trailer at the very end of an executable: magic, then the program's length in bytes.
inline constexpr uint64_t kTrailerMagic = 0x5a52'5052'4f47'0001ULL;
inline constexpr size_t kTrailerSize = 16;

}  // namespace sr::zr
