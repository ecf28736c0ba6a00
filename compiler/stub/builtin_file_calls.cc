// The built-in file functions (compiler/stub/file_functions.h does the work).
#include "compiler/stub/builtin_calls.h"
#include "compiler/stub/file_functions.h"

namespace sr::zr {

void call_read_file(MachineState& m) {
  Text path = m.pop_text();
  m.push_text(read_file(path));
}

void call_write_file(MachineState& m) {
  Text text = m.pop_text(), path = m.pop_text();
  m.push_int(write_file(path, text.view()));
}

void call_append_file(MachineState& m) {
  Text text = m.pop_text(), path = m.pop_text();
  m.push_int(append_file(path, text.view()));
}

void call_file_exists(MachineState& m) {
  Text path = m.pop_text();
  m.push_int(file_exists(path));
}

void call_file_size(MachineState& m) {
  Text path = m.pop_text();
  m.push_int(file_size(path));
}

void call_delete_file(MachineState& m) {
  Text path = m.pop_text();
  m.push_int(delete_file(path));
}

}  // namespace sr::zr
