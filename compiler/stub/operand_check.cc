#include "compiler/stub/operand_check.h"

#include "compiler/stub/file_locks.h"

namespace sr::zr {
namespace {

bool slot_ok(int64_t slot, uint32_t count) {
  return slot >= 0 && slot < count;
}

bool within(int64_t value, int64_t highest) {
  return value >= 0 && value <= highest;
}

// The most slots of each kind that any frame has: the top level's or a procedure's. Slots
// of the running frame are checked against its own counts again as the program runs.
struct SlotLimits {
  uint32_t ints, strings, arrays;
};

SlotLimits frame_limits(const LoadedProgram& p) {
  SlotLimits most{p.int_slots, p.string_slots, p.array_slots};
  for (size_t i = 0; i < p.procedures.size(); ++i) {
    const ProcedureInfo& info = p.procedures[i];
    if (info.int_slots > most.ints) most.ints = info.int_slots;
    if (info.string_slots > most.strings) most.strings = info.string_slots;
    if (info.array_slots > most.arrays) most.arrays = info.array_slots;
  }
  return most;
}

bool loop_operands_ok(const Instruction& in, uint32_t variable_slots, uint32_t frame_ints,
                      int64_t size) {
  // The bound's slot is arg3 and the step's the one after it, both in the running frame.
  return within(in.arg, size) && slot_ok(in.arg2, variable_slots) && slot_ok(in.arg3, frame_ints) &&
         slot_ok(in.arg3 + 1, frame_ints);
}

bool array_operands_ok(const Instruction& in, const LoadedProgram& p, const SlotLimits& frame) {
  if (in.arg3 < 0 || in.arg3 > (kArrayOfStrings | kArrayKeep | kArrayIsMap)) return false;
  // Only a reference may be to either; the other instructions are for their own kind alone.
  const bool map = (in.arg3 & kArrayIsMap) != 0;
  const bool either = in.op == Op::array_push_ref || in.op == Op::array_bind;
  const bool for_maps = in.op == Op::map_load || in.op == Op::map_store;
  if (!either && map != for_maps) return false;
  if (in.arg2 == static_cast<int64_t>(ArrayScope::frame)) return slot_ok(in.arg, frame.arrays);
  return in.op != Op::array_bind && in.arg2 == static_cast<int64_t>(ArrayScope::global) &&
         slot_ok(in.arg, p.array_slots);
}

bool operand_ok(const Instruction& in, const LoadedProgram& p, const SlotLimits& frame) {
  const auto size = static_cast<int64_t>(p.code.size());
  switch (in.op) {
    case Op::push_string:
      return in.arg >= 0 && in.arg < static_cast<int64_t>(p.strings.size());
    case Op::load_int:
    case Op::store_int:
      return slot_ok(in.arg, frame.ints);
    case Op::load_string:
    case Op::store_string:
    case Op::take_string:
      return slot_ok(in.arg, frame.strings);
    case Op::load_global_int:
    case Op::store_global_int:
      return slot_ok(in.arg, p.int_slots);
    case Op::load_global_string:
    case Op::store_global_string:
    case Op::take_global_string:
      return slot_ok(in.arg, p.string_slots);
    case Op::int_compare:
    case Op::string_compare:
      return within(in.arg, static_cast<int64_t>(Compare::ge));
    case Op::jump:
    case Op::jump_if_false:
    case Op::jump_if_true:
      return within(in.arg, size);  // the end itself is a valid target
    case Op::for_enter:
    case Op::for_next:
      return loop_operands_ok(in, frame.ints, frame.ints, size);
    case Op::for_enter_global:
    case Op::for_next_global:
      return loop_operands_ok(in, p.int_slots, frame.ints, size);
    case Op::write_int:
    case Op::write_string:
      return within(in.arg, static_cast<int64_t>(Channel::error_line));
    case Op::call:
      return in.arg >= 0 && in.arg < static_cast<int64_t>(Builtin::kCount);
    case Op::call_on_string:
      if (in.arg < 0 || in.arg >= static_cast<int64_t>(Builtin::kCount) ||
          !reads_first_text_in_place(static_cast<Builtin>(in.arg))) {
        return false;
      }
      if (in.arg3 == static_cast<int64_t>(ArrayScope::frame))
        return slot_ok(in.arg2, frame.strings);
      return in.arg3 == static_cast<int64_t>(ArrayScope::global) &&
             slot_ok(in.arg2, p.string_slots);
    case Op::call_procedure:
      return in.arg >= 0 && in.arg < static_cast<int64_t>(p.procedures.size());
    case Op::array_dim:
    case Op::array_load:
    case Op::array_store:
    case Op::array_ubound:
    case Op::array_push_ref:
    case Op::array_bind:
    case Op::map_load:
    case Op::map_store:
      return array_operands_ok(in, p, frame);
    case Op::lock_release:  // never more than are held, as the run checks
      return within(in.arg, kMostHeldLocks);
    // No default: an instruction added to the list must say here what its operands may be.
    case Op::push_int:  // any value
    case Op::add:
    case Op::sub:
    case Op::mul:
    case Op::div:
    case Op::mod:
    case Op::negate:
    case Op::concat:
    case Op::logical_not:
    case Op::write_newline:
    case Op::flush:
    case Op::end:
    case Op::return_procedure:
    case Op::drop_int:
    case Op::drop_string:
    case Op::lock_take:
      return true;
    case Op::kCount:
      return false;
  }
  return false;
}

bool entries_ok(const LoadedProgram& p) {
  for (size_t i = 0; i < p.procedures.size(); ++i) {
    if (p.procedures[i].entry >= p.code.size()) return false;
  }
  return true;
}

}  // namespace

bool operands_valid(const LoadedProgram& p) {
  if (!entries_ok(p)) return false;
  const SlotLimits frame = frame_limits(p);
  for (size_t i = 0; i < p.code.size(); ++i) {
    if (!operand_ok(p.code[i], p, frame)) return false;
  }
  return true;
}

}  // namespace sr::zr
