// The built-in file and folder functions (compiler/stub/file_functions.h and folder_listing.h
// do the work).
#include "compiler/stub/array_values.h"
#include "compiler/stub/builtin_calls.h"
#include "compiler/stub/file_functions.h"
#include "compiler/stub/folder_listing.h"

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

void call_make_folder(MachineState& m) {
  Text path = m.pop_text();
  m.push_int(make_folder(path));
}

void call_list_folder(MachineState& m) {
  Text path = m.pop_text();
  TextList entries;
  const bool listed = list_folder(path, entries);
  ValueArray& names = m.calls.pop_ref(true);
  const int64_t count = static_cast<int64_t>(entries.size());
  resize_array(names, count - 1, false);
  for (int64_t i = 0; i < count; ++i) {
    set_text_element(names, i, Text(entries.view(static_cast<size_t>(i))));
  }
  m.push_int(listed ? count : -1);
}

}  // namespace sr::zr
