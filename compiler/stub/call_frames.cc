#include "compiler/stub/call_frames.h"

#include "compiler/stub/run_failure.h"

namespace sr::zr {

CallStack::CallStack(PodArray<int64_t>& global_ints, TextList& global_strings,
                     const ProcedureInfo& top) {
  global_ints.grow_zeroed(top.int_slots);
  global_strings.grow_empty(top.string_slots);
  global_arrays_.grow_zeroed(top.array_slots);
  window_ = Window{&global_ints,  &global_strings,  &global_arrays_, 0, 0, 0,
                   top.int_slots, top.string_slots, top.array_slots};
  find_ints();
}

CallStack::~CallStack() {
  for (size_t i = 0; i < frame_arrays_.size(); ++i) release_slot(frame_arrays_[i]);
  for (size_t i = 0; i < global_arrays_.size(); ++i) release_slot(global_arrays_[i]);
}

void CallStack::damaged() {
  fail_run("the program is damaged");
}

ArraySlot& CallStack::array_slot(int64_t slot, ArrayScope scope) {
  if (scope == ArrayScope::global) return global_arrays_[checked(slot, global_arrays_.size())];
  return (*window_.arrays)[window_.array_base + checked(slot, window_.array_count)];
}

void CallStack::enter(const ProcedureInfo& procedure, size_t return_pc) {
  if (frames_.size() >= kCallDepthLimit) fail_run("Call depth limit reached");
  frames_.push(Frame{window_, return_pc});
  window_ = Window{&frame_ints_,        &frame_strings_,        &frame_arrays_,
                   frame_ints_.size(),  frame_strings_.size(),  frame_arrays_.size(),
                   procedure.int_slots, procedure.string_slots, procedure.array_slots};
  frame_ints_.grow_zeroed(window_.int_base + procedure.int_slots);
  frame_strings_.grow_empty(window_.string_base + procedure.string_slots);
  frame_arrays_.grow_zeroed(window_.array_base + procedure.array_slots);
  find_ints();
}

size_t CallStack::leave() {
  if (frames_.empty()) fail_run("the program is damaged");
  for (size_t i = window_.array_base; i < frame_arrays_.size(); ++i) {
    release_slot(frame_arrays_[i]);
  }
  frame_arrays_.shrink_to(window_.array_base);
  frame_strings_.shrink_to(window_.string_base);
  frame_ints_.shrink_to(window_.int_base);
  const Frame frame = frames_.pop();
  window_ = frame.caller;
  find_ints();
  return frame.return_pc;
}

ValueArray& CallStack::pop_ref(bool strings, bool map) {
  ValueArray& array = pop_any_ref(map);
  if (array.strings != strings) fail_run("the program is damaged");
  return array;
}

ValueArray& CallStack::pop_any_ref(bool map) {
  if (refs_.empty()) fail_run("the program is damaged");
  ValueArray* array = refs_.pop();
  if (array->map != map) fail_run("the program is damaged");
  return *array;
}

}  // namespace sr::zr
