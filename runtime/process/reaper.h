// Following an opened program to its end: through a pidfd where the system gives one, else
// with a detached thread that collects the exit code.
#pragma once

namespace sr {

struct ChildProgram;

// False when the program cannot be followed at all.
bool watch_program_end(ChildProgram& program);

// For a record about to be closed whose program may still run: a pidfd-followed program gets
// a reaper thread now, so that it never stays a zombie. The caller holds the mutex.
void reap_after_close(ChildProgram& program);

}  // namespace sr
