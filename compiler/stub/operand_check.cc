#include "compiler/stub/operand_check.h"

namespace sr::zr {
namespace {

bool slot_ok(int64_t slot, uint32_t count) {
  return slot >= 0 && slot < count;
}

bool within(int64_t value, int64_t highest) {
  return value >= 0 && value <= highest;
}

bool loop_operands_ok(const Instruction& in, const LoadedProgram& p, int64_t size) {
  // The bound's slot is arg3 and the step's the one after it.
  return within(in.arg, size) && slot_ok(in.arg2, p.int_slots) && slot_ok(in.arg3, p.int_slots) &&
         slot_ok(in.arg3 + 1, p.int_slots);
}

bool operand_ok(const Instruction& in, const LoadedProgram& p) {
  const auto size = static_cast<int64_t>(p.code.size());
  switch (in.op) {
    case Op::push_string:
      return in.arg >= 0 && in.arg < static_cast<int64_t>(p.strings.size());
    case Op::load_int:
    case Op::store_int:
      return slot_ok(in.arg, p.int_slots);
    case Op::load_string:
    case Op::store_string:
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
      return loop_operands_ok(in, p, size);
    case Op::write_int:
    case Op::write_string:
      return within(in.arg, static_cast<int64_t>(Channel::error_line));
    case Op::call:
      return in.arg >= 0 && in.arg < static_cast<int64_t>(Builtin::kCount);
    default:
      return true;
  }
}

}  // namespace

bool operands_valid(const LoadedProgram& p) {
  for (size_t i = 0; i < p.code.size(); ++i) {
    if (!operand_ok(p.code[i], p)) return false;
  }
  return true;
}

}  // namespace sr::zr
