// The detached thread that collects the exit code of one opened program.
#pragma once

namespace sr {

struct ChildProgram;

// False when the thread could not be created.
bool start_reaper(const ChildProgram& program);

}  // namespace sr
