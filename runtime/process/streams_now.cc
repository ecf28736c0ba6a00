// The non-blocking stream operations for a relay that polls all streams of a program at once.
#include "runtime/process/program_record.h"

namespace sr {

ProgramDescriptors program_descriptors(ProgramHandle handle) {
  ProgramDescriptors descriptors;
  ChildProgram* program = program_of(handle);
  if (!program) return descriptors;
  if (program->output) descriptors.output = program->output->fd();
  if (program->input) descriptors.input = program->input->fd();
  if (program->error) descriptors.error = program->error->fd();
  descriptors.ended = program->pidfd ? program->pidfd.get() : program->ended.read.get();
  return descriptors;
}

int read_program_output_now(ProgramHandle handle, void* buffer, int size) {
  ChildProgram* program = program_of(handle);
  if (!program || !program->output) return -1;
  return program->output->read_now(static_cast<char*>(buffer), size);
}

int pending_program_output(ProgramHandle handle) {
  ChildProgram* program = program_of(handle);
  if (!program || !program->output) return 0;
  return program->output->buffered() + program->output->pipe_count();
}

bool read_program_error_line_now(ProgramHandle handle, std::string& line) {
  ChildProgram* program = program_of(handle);
  if (!program || !program->error) return false;
  std::string& partial = program->error_partial;
  bool complete = program->error->read_line_now(partial);
  // The stream's last line counts once the end came, even without its LF.
  if (!complete && !(program->error->drained() && !partial.empty())) return false;
  line = std::move(partial);
  partial.clear();
  return true;
}

bool take_program_error_rest(ProgramHandle handle, std::string& line) {
  ChildProgram* program = program_of(handle);
  if (!program || program->error_partial.empty()) return false;
  line = std::move(program->error_partial);
  program->error_partial.clear();
  return true;
}

bool program_error_at_end(ProgramHandle handle) {
  ChildProgram* program = program_of(handle);
  if (!program || !program->error) return true;
  return program->error->drained() && program->error_partial.empty();
}

int write_program_data_now(ProgramHandle handle, const void* data, int size) {
  ChildProgram* program = program_of(handle);
  if (!program || !program->input) return -1;
  return program->input->write_now(static_cast<const char*>(data), size);
}

}  // namespace sr
