#include "compiler/stub/array_instructions.h"

#include "compiler/stub/builtin_calls.h"
#include "compiler/stub/value_map.h"

namespace sr::zr {
namespace {

ValueArray& array_of(MachineState& m, const Instruction& in) {
  return slot_array(m.calls.array_slot(in.arg, static_cast<ArrayScope>(in.arg2)),
                    (in.arg3 & kArrayOfStrings) != 0, (in.arg3 & kArrayIsMap) != 0);
}

// A missing key reads as 0 or "", as an unset variable does.
void load_value(MachineState& m, const Instruction& in) {
  Text key = m.pop_text();
  ValueArray& map = array_of(m, in);
  const size_t at = map_find(map, key.view());
  if (map.strings) {
    m.push_text(at == kNotFound ? Text() : Text(text_element(map, static_cast<int64_t>(at))));
  } else {
    m.push_int(at == kNotFound ? 0 : map.ints[at]);
  }
}

void store_value(MachineState& m, const Instruction& in) {
  ValueArray& map = array_of(m, in);
  if (map.strings) {
    Text value = m.pop_text();
    Text key = m.pop_text();
    set_map_text(map, key.view(), moved(value), false);
  } else {
    const int64_t value = m.pop_int();
    Text key = m.pop_text();
    set_map_int(map, key.view(), value);
  }
}

void load_element(MachineState& m, const Instruction& in) {
  const int64_t index = m.pop_int();
  ValueArray& array = array_of(m, in);
  if (array.strings) {
    m.push_text(Text(text_element(array, index)));
  } else {
    m.push_int(int_element(array, index));
  }
}

void store_element(MachineState& m, const Instruction& in) {
  ValueArray& array = array_of(m, in);
  if (array.strings) {
    Text value = m.pop_text();
    set_text_element(array, m.pop_int(), moved(value));
  } else {
    const int64_t value = m.pop_int();
    int_element(array, m.pop_int()) = value;
  }
}

}  // namespace

void run_array_instruction(MachineState& m, const Instruction& in) {
  switch (in.op) {
    case Op::map_load:
      return load_value(m, in);
    case Op::map_store:
      return store_value(m, in);
    case Op::array_dim: {
      const int64_t highest = m.pop_int();
      return resize_array(array_of(m, in), highest, (in.arg3 & kArrayKeep) != 0);
    }
    case Op::array_load:
      return load_element(m, in);
    case Op::array_store:
      return store_element(m, in);
    case Op::array_ubound:
      return m.push_int(static_cast<int64_t>(array_of(m, in).size) - 1);
    case Op::array_push_ref:
      return m.calls.push_ref(&array_of(m, in));
    case Op::array_bind: {
      ArraySlot& slot = m.calls.array_slot(in.arg, ArrayScope::frame);
      release_slot(slot);
      slot = ArraySlot{
          &m.calls.pop_ref((in.arg3 & kArrayOfStrings) != 0, (in.arg3 & kArrayIsMap) != 0), false};
      return;
    }
    default:
      fail_run("the program is damaged");
  }
}

void call_split(MachineState& m) {
  Text separator = m.pop_text(), text = m.pop_text();
  m.push_int(split_text(m.calls.pop_ref(true), text.view(), separator.view()));
}

void call_join(MachineState& m) {
  Text separator = m.pop_text();
  m.push_text(join_texts(m.calls.pop_ref(true), separator.view()));
}

}  // namespace sr::zr
