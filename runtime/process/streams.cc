// The waiting stream operations: block reads, line reads, writes.
#include <string>

#include "runtime/process/program_record.h"

namespace sr {

int available_program_output(ProgramHandle handle) {
  ChildProgram* program = program_of(handle);
  if (!program || !program->output) return 0;
  return program->output->available();
}

int read_program_data(ProgramHandle handle, void* buffer, int size) {
  ChildProgram* program = program_of(handle);
  if (!program || !program->output || size <= 0) return 0;
  return program->output->read_all(static_cast<char*>(buffer), size);
}

std::string read_program_output_line(ProgramHandle handle) {
  ChildProgram* program = program_of(handle);
  std::string line;
  if (program && program->output) program->output->read_line(line);
  return line;
}

std::string read_program_error_line(ProgramHandle handle) {
  ChildProgram* program = program_of(handle);
  if (!program || !program->error || program->error->available() == 0) return {};
  // A line begun by a non-blocking read continues here, so none of its bytes is lost.
  std::string line = std::move(program->error_partial);
  program->error_partial.clear();
  program->error->read_line(line);
  return line;
}

int write_program_data(ProgramHandle handle, const void* data, int size) {
  ChildProgram* program = program_of(handle);
  if (!program || !program->input || size <= 0) return 0;
  return program->input->write_all(static_cast<const char*>(data), size);
}

void close_program_input(ProgramHandle handle) {
  ChildProgram* program = program_of(handle);
  if (program) program->input.reset();
}

void close_program_output(ProgramHandle handle) {
  ChildProgram* program = program_of(handle);
  if (program) program->output.reset();
}

}  // namespace sr
