// The machine's array instructions and the builtin functions that take an array.
#pragma once

#include "compiler/stub/machine_state.h"

namespace sr::zr {

// Runs one of the array_* instructions; any other ends the run as a damaged program.
void run_array_instruction(MachineState& m, const Instruction& in);

bool is_array_builtin(Builtin builtin);  // Split and Join$
void call_array_builtin(MachineState& m, Builtin builtin);

}  // namespace sr::zr
