// The record behind a program handle, the registry of open programs and its mutex.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "runtime/process/pipe_ends.h"
#include "runtime/process/pipe_reader.h"
#include "runtime/process/pipe_writer.h"
#include "runtime/process/process.h"

namespace sr {

struct ChildProgram {
  pid_t pid = 0;
  std::optional<PipeReader> output;
  std::optional<PipeWriter> input;
  std::optional<PipeReader> error;
  // Read without the mutex by program_exit_code; written under it.
  std::atomic<int> exit_code{-1};
  // An error line whose LF has not come yet (non-blocking line reads).
  std::string error_partial;
  // One byte is written to `ended.write` right after the exit code is stored, where a reaper
  // thread follows the program.
  PipeEnds ended;
  // Otherwise this descriptor of the process itself becomes readable when it ends, and the next
  // look at its state under the mutex collects the exit code (collect_if_ended).
  UniqueFd pidfd;

  // Registry links and the number that tells this record from a later one at the same address.
  std::uint32_t serial = 0;
  ChildProgram* newer = nullptr;
  ChildProgram* older = nullptr;
};

inline ChildProgram* program_of(ProgramHandle handle) {
  return reinterpret_cast<ChildProgram*>(handle);
}
inline ProgramHandle handle_of(ChildProgram* program) {
  return reinterpret_cast<ProgramHandle>(program);
}

std::recursive_mutex& registry_mutex();
// Puts the record first and gives it its serial. Takes the mutex.
void register_program(ChildProgram* program);
// The registered record with that serial, or null. The caller holds the mutex.
ChildProgram* find_registered(std::uint32_t serial);

// 1 when a signal ended the program or no status came (-1), else the exit status.
int exit_code_from_status(int status);
// Stores the exit code and signals `ended`. The caller holds the mutex.
void store_exit_code(ChildProgram& program, int status);

// waitpid, retried on EINTR; false when no status came (status then stays -1).
bool collect_status(pid_t pid, int& status);

// Stores the exit code of a program followed through its pidfd once it has ended; nothing for
// one that runs or whose code is stored. The caller holds the mutex.
void collect_if_ended(ChildProgram& program);

}  // namespace sr
