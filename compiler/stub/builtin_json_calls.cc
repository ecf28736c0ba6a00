// The built-in functions that read JSON documents by JSON Pointer.
#include "compiler/stub/array_values.h"
#include "compiler/stub/builtin_calls.h"
#include "compiler/stub/json_maps.h"
#include "compiler/stub/json_reader.h"
#include "compiler/stub/text_functions.h"

namespace sr::zr {
namespace {

// Finds the value at the pointer on the stack (above the document), or ends the run with the
// document's fault.
void find_value(MachineState& m, JsonKind& kind, Text& document, Bytes& raw) {
  Text pointer = m.pop_text();
  document = m.pop_text();
  JsonError error;
  if (!json_find(document.view(), pointer.view(), kind, raw, error)) {
    Text message(bytes_of("Invalid JSON at "));
    message.append(json_fault_text(error).view());
    fail_run(message.c_str());
  }
}

void keep_key(void* keys, Text key) {
  static_cast<TextList*>(keys)->push(moved(key));
}

}  // namespace

void call_json_value(MachineState& m) {
  JsonKind kind;
  Text document;
  Bytes raw;
  find_value(m, kind, document, raw);
  m.push_text(json_value_text(kind, raw));
}

void call_json_type(MachineState& m) {
  JsonKind kind;
  Text document;
  Bytes raw;
  find_value(m, kind, document, raw);
  m.push_text(Text(bytes_of(json_kind_name(kind))));
}

void call_json_keys(MachineState& m) {
  JsonKind kind;
  Text document;
  Bytes raw;
  find_value(m, kind, document, raw);
  TextList keys;
  const int64_t count = json_keys(kind, raw, keep_key, &keys);
  ValueArray& names = m.calls.pop_ref(true);
  resize_array(names, count - 1, false);
  for (int64_t i = 0; i < count; ++i) {
    set_text_element(names, i, Text(keys.view(static_cast<size_t>(i))));
  }
  m.push_int(count);
}

void call_json_error(MachineState& m) {
  Text document = m.pop_text();
  JsonKind kind;
  Bytes raw;
  JsonError error;
  m.push_text(json_find(document.view(), Bytes{}, kind, raw, error) ? Text() : json_fault_text(error));
}

}  // namespace sr::zr
