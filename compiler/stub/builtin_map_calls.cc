// The built-in functions on maps, and JSON read into and written from maps and arrays.
#include "compiler/stub/builtin_calls.h"
#include "compiler/stub/json_maps.h"
#include "compiler/stub/text_functions.h"
#include "compiler/stub/value_map.h"

namespace sr::zr {
namespace {

[[noreturn]] void fail_json(const char* what, const JsonError& error) {
  Text message(bytes_of(what));
  message.append(json_fault_text(error).view());
  fail_run(message.c_str());
}

int64_t count_of(const ValueArray& map) {
  return static_cast<int64_t>(map.size);
}

}  // namespace

void call_keys(MachineState& m) {
  const ValueArray& map = m.calls.pop_any_ref(true);
  ValueArray& names = m.calls.pop_ref(true);
  resize_array(names, count_of(map) - 1, false);
  for (size_t i = 0; i < map.size; ++i) {
    set_text_element(names, static_cast<int64_t>(i), Text(map_key(map, i)));
  }
  m.push_int(count_of(map));
}

void call_has_key(MachineState& m) {
  Text key = m.pop_text();
  m.push_int(map_find(m.calls.pop_any_ref(true), key.view()) != kNotFound ? 1 : 0);
}

void call_remove_key(MachineState& m) {
  Text key = m.pop_text();
  m.push_int(remove_map_key(m.calls.pop_any_ref(true), key.view()) ? 1 : 0);
}

void call_key_count(MachineState& m) {
  m.push_int(count_of(m.calls.pop_any_ref(true)));
}

void call_json_parse_map(MachineState& m) {
  ValueArray& map = m.calls.pop_any_ref(true);
  Text document = m.pop_text();
  JsonError error;
  if (!json_to_map(document.view(), map, error)) fail_json("Invalid JSON for a map at ", error);
  m.push_int(count_of(map));
}

// JsonParse and Json$ of an array: `strings` picks the kind of array, the rest is one code.
static void parse_json_list(MachineState& m, bool strings) {
  ValueArray& list = m.calls.pop_ref(strings);
  Text document = m.pop_text();
  JsonError error;
  if (!json_to_list(document.view(), list, error)) {
    fail_json("Invalid JSON for an array at ", error);
  }
  m.push_int(count_of(list));
}

static void write_json_list(MachineState& m, bool strings) {
  const ValueArray& list = m.calls.pop_ref(strings);
  Text out;
  JsonError error;
  size_t bad = 0;
  if (!list_to_json(list, false, out, error, bad))
    fail_json("Json$ cannot write the array: ", error);
  m.push_text(moved(out));
}

void call_json_parse_ints(MachineState& m) {
  parse_json_list(m, false);
}

void call_json_ints(MachineState& m) {
  write_json_list(m, false);
}

void call_json_parse_list(MachineState& m) {
  parse_json_list(m, true);
}

void call_json_map(MachineState& m) {
  const ValueArray& map = m.calls.pop_any_ref(true);
  Text out;
  JsonError error;
  if (!map_to_json(map, out, error)) fail_json("Json$ cannot write the map: ", error);
  m.push_text(moved(out));
}

void call_json_list(MachineState& m) {
  write_json_list(m, true);
}

void call_json_array(MachineState& m) {
  const ValueArray& list = m.calls.pop_ref(true);
  Text out;
  JsonError error;
  size_t bad = 0;
  if (list_to_json(list, true, out, error, bad)) return m.push_text(moved(out));
  if (bad == kNotFound) fail_json("JsonArray$ cannot write the array: ", error);
  Text message(bytes_of("JsonArray$: element "));
  message.append(decimal(static_cast<int64_t>(bad)).view());
  message.append(bytes_of(" is no JSON text, at "));
  message.append(json_fault_text(error).view());
  fail_run(message.c_str());
}

void call_json_set(MachineState& m) {
  Text json = m.pop_text(), key = m.pop_text();
  ValueArray& map = m.calls.pop_ref(true, true);
  JsonKind kind;
  Bytes raw;
  JsonError error;
  if (!json_find(json.view(), Bytes{}, kind, raw, error))
    fail_json("JsonSet: Invalid JSON at ", error);
  // Stored as JsonParse stores a member: a string as its text, null as "".
  set_map_text(map, key.view(), json_value_text(kind, raw), kind != JsonKind::string);
  m.push_int(count_of(map));
}

}  // namespace sr::zr
