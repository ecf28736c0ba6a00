// The machine's array instructions (the built-ins that take an array, Split and Join$, are in
// compiler/stub/builtin_calls.h with the others).
#pragma once

#include "compiler/stub/machine_state.h"

namespace sr::zr {

// Runs one of the array_* instructions; any other ends the run as a damaged program.
void run_array_instruction(MachineState& m, const Instruction& in);

}  // namespace sr::zr
