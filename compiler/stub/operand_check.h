// The check that lets the machine use operands as indices without looking at them again.
#pragma once

#include "compiler/stub/program_reader.h"

namespace sr::zr {

// True when every string constant, slot, jump target, comparison, channel and builtin that an
// instruction names exists, so a damaged file cannot make the machine reach outside its tables.
bool operands_valid(const LoadedProgram& p);

}  // namespace sr::zr
