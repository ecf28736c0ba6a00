// The frames of running procedures. The top level's variables live in the machine's own
// tables; a call takes fresh slots for its procedure at the top of shared stacks, so a call
// neither copies the caller's variables nor allocates once the stacks have grown, and a deep
// recursion costs heap, not the 8 MiB of the process stack.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "compiler/program_codes.h"
#include "compiler/stub/array_values.h"
#include "compiler/stub/pod_array.h"
#include "compiler/stub/text.h"

namespace sr::zr {

class CallStack {
 public:
  // Gives the top level's tables their slots, every one 0, "" or an array without elements.
  CallStack(PodArray<int64_t>& global_ints, TextList& global_strings, const ProcedureInfo& top);
  ~CallStack();
  CallStack(const CallStack&) = delete;
  CallStack& operator=(const CallStack&) = delete;

  // The running frame's slots; a slot beyond the frame's own ends the run as damaged. Inline:
  // the machine reaches a variable this way on almost every instruction.
  int64_t& int_slot(int64_t slot) { return ints_here_[checked(slot, window_.int_count)]; }
  Bytes string_slot(int64_t slot) const { return window_.strings->view(string_index(slot)); }
  Text take_string_slot(int64_t slot) { return window_.strings->take(string_index(slot)); }
  void set_string_slot(int64_t slot, Text text) {
    window_.strings->replace(string_index(slot), moved(text));
  }
  ArraySlot& array_slot(int64_t slot, ArrayScope scope);

  // Starts a call that returns to `return_pc`; "Call depth limit reached" past the limit.
  void enter(const ProcedureInfo& procedure, size_t return_pc);
  // Ends the running call, freeing its variables and arrays; returns where to go on.
  size_t leave();

  // References to arrays passed as arguments, from the caller's push to the callee's bind.
  void push_ref(ValueArray* array) { refs_.push(array); }
  ValueArray& pop_ref(bool strings, bool map = false);
  ValueArray& pop_any_ref(bool map);  // of either kind of element

 private:
  struct Window {
    PodArray<int64_t>* ints;
    TextList* strings;
    PodArray<ArraySlot>* arrays;
    size_t int_base, string_base, array_base;
    size_t int_count, string_count, array_count;
  };
  struct Frame {
    Window caller;
    size_t return_pc;
  };

  static size_t checked(int64_t slot, size_t count) {
    if (slot < 0 || static_cast<uint64_t>(slot) >= count) damaged();
    return static_cast<size_t>(slot);
  }
  // Where the running frame's string `slot` lies in the list that holds it.
  size_t string_index(int64_t slot) const {
    return window_.string_base + checked(slot, window_.string_count);
  }
  [[noreturn]] static void damaged();

  PodArray<ArraySlot> global_arrays_;
  PodArray<int64_t> frame_ints_;
  TextList frame_strings_;
  PodArray<ArraySlot> frame_arrays_;
  PodArray<Frame> frames_;
  PodArray<ValueArray*> refs_;
  Window window_;
  // The running frame's first integer, found again whenever the frame or its stack changes.
  int64_t* ints_here_ = nullptr;
  void find_ints() { ints_here_ = window_.ints->data() + window_.int_base; }
};

}  // namespace sr::zr
