// The stub's side of the built-in functions: one function per row of SR_ZR_BUILTINS
// (compiler/program_lists.h), named call_<code>, that takes the row's arguments off the stacks
// (the last first) and pushes its result. A row without its function fails to link.
#pragma once

#include "compiler/stub/machine_state.h"

namespace sr::zr {

#define SR_ZR_BUILTIN_FUNCTION(code, ...) void call_##code(MachineState& m);
SR_ZR_BUILTINS(SR_ZR_BUILTIN_FUNCTION)
#undef SR_ZR_BUILTIN_FUNCTION

// Runs the row `builtin` (one of the list's codes, as the program's check made sure).
void call_builtin(MachineState& m, Builtin builtin);
// Runs the row `builtin`, one that reads_first_text_in_place, with `s` as its first argument and
// the others on the stacks. `s` is a variable's text, which no row changes while it reads it.
void call_on_text(MachineState& m, Builtin builtin, Bytes s);

}  // namespace sr::zr
