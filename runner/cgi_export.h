// Sets the variables of one phase of the run in the environment that the compiler and the
// script inherit.
#pragma once

#include "runner/exported_variables.h"
#include "runner/run_state.h"

namespace sr {

void export_variables(const RunState& state, ExportPhase phase);

}  // namespace sr
