// The functions a program can call, with the types the compiler checks them against.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "compiler/program_format.h"

namespace sr::zr {

// A string array and a map are only ever arguments, written `name$()` and `name{}` or
// `name${}`; `map` takes a map of either kind, `string_map` a map of strings only.
// An argument written `name{}` has the type int_map.
enum class Type { integer, string, string_array, map, string_map, int_map, int_array };

struct BuiltinSignature {
  std::string_view name;  // lower case, with "$" for a string result
  Builtin builtin;
  Type result;
  std::vector<Type> params;
};

// The signatures named `name` (lower case), one per accepted argument count; empty if none.
std::vector<const BuiltinSignature*> find_builtins(std::string_view name);

// Whether `name` (lower case) is a built-in function's, UBound's included (an array
// instruction, not a call): such a name is never a procedure's, a variable's or an array's.
bool is_builtin_name(std::string_view name);
// The compile error for a built-in's `name` used as `what` ("an array", ...).
std::string builtin_name_taken(const std::string& name, std::string_view what);

}  // namespace sr::zr
