#include "compiler/stub/machine.h"

#include "compiler/stub/array_instructions.h"
#include "compiler/stub/builtin_calls.h"
#include "compiler/stub/machine_state.h"
#include "compiler/stub/random_numbers.h"
#include "compiler/stub/text_functions.h"

namespace sr::zr {
namespace {

// Arithmetic wraps around at the 64-bit limits instead of trapping.
void arithmetic(MachineState& m, Op op) {
  uint64_t b = static_cast<uint64_t>(m.pop_int());
  uint64_t a = static_cast<uint64_t>(m.pop_int());
  int64_t sa = static_cast<int64_t>(a), sb = static_cast<int64_t>(b);
  int64_t result = 0;
  switch (op) {
    case Op::add:
      result = static_cast<int64_t>(a + b);
      break;
    case Op::sub:
      result = static_cast<int64_t>(a - b);
      break;
    case Op::mul:
      result = static_cast<int64_t>(a * b);
      break;
    default:
      if (sb == 0) fail_run("Division by zero");
      // The most negative value divided by -1 does not fit; it wraps to itself.
      if (sb == -1) {
        result = op == Op::div ? static_cast<int64_t>(0 - a) : 0;
      } else {
        result = op == Op::div ? sa / sb : sa % sb;
      }
  }
  m.push_int(result);
}

bool compare(Compare how, int order) {
  switch (how) {
    case Compare::eq:
      return order == 0;
    case Compare::ne:
      return order != 0;
    case Compare::lt:
      return order < 0;
    case Compare::gt:
      return order > 0;
    case Compare::le:
      return order <= 0;
    default:
      return order >= 0;
  }
}

void compare_ints(MachineState& m, Compare how) {
  int64_t b = m.pop_int(), a = m.pop_int();
  m.push_int(compare(how, a < b ? -1 : a > b ? 1 : 0));
}

void compare_texts(MachineState& m, Compare how) {
  Text b = m.pop_text(), a = m.pop_text();
  m.push_int(compare(how, compare_bytes(a.view(), b.view())));
}

// The left operand grows where it lies on the stack instead of being moved off it and back.
void concatenate(MachineState& m) {
  Text b = m.pop_text();
  if (m.strings.empty()) fail_run("the program is damaged");
  m.strings.append_to_last(b.view());
}

// Standard error gets each line in one write, so lines of concurrent programs never mix.
void write_value(MachineState& m, Channel channel, Text text) {
  if (channel == Channel::error_line) {
    text.push_back('\n');
    m.host.write_error(m.host.context, text.view());
    return;
  }
  m.out.write(text.view());
  if (channel == Channel::out_line) m.out.write(Bytes{"\n", 1});
}

int64_t& loop_variable(MachineState& m, const Instruction& in) {
  const bool global = in.op == Op::for_enter_global || in.op == Op::for_next_global;
  return global ? m.int_vars[in.arg2] : m.calls.int_slot(in.arg2);
}

bool for_within(MachineState& m, const Instruction& in, int64_t value) {
  int64_t bound = m.calls.int_slot(in.arg3);
  return m.calls.int_slot(in.arg3 + 1) >= 0 ? value <= bound : value >= bound;
}

// Where a For instruction continues: `next` when it falls through, else its target.
size_t for_step(MachineState& m, const Instruction& in, size_t next) {
  const auto target = static_cast<size_t>(in.arg);
  int64_t& variable = loop_variable(m, in);
  if (in.op == Op::for_enter || in.op == Op::for_enter_global) {
    return for_within(m, in, variable) ? next : target;
  }
  int64_t stepped = 0;
  // A step past the 64-bit limits ends the loop rather than wrapping back into it.
  if (__builtin_add_overflow(variable, m.calls.int_slot(in.arg3 + 1), &stepped)) return next;
  variable = stepped;
  return for_within(m, in, stepped) ? target : next;
}

// Runs the instructions that neither jump nor end the program.
void step(MachineState& m, const Instruction& in) {
  switch (in.op) {
    case Op::push_int:
      return m.push_int(in.arg);
    case Op::push_string:
      return m.strings.push_copy(m.program.strings.view(static_cast<size_t>(in.arg)));
    case Op::load_int:
      return m.push_int(m.calls.int_slot(in.arg));
    case Op::store_int:
      m.calls.int_slot(in.arg) = m.pop_int();
      return;
    case Op::load_string:
      return m.strings.push_copy(m.calls.string_slot(in.arg));
    case Op::store_string:
      return m.calls.set_string_slot(in.arg, m.pop_text());
    case Op::load_global_int:
      return m.push_int(m.int_vars[in.arg]);
    case Op::store_global_int:
      m.int_vars[in.arg] = m.pop_int();
      return;
    case Op::load_global_string:
      return m.strings.push_copy(m.string_vars.view(static_cast<size_t>(in.arg)));
    case Op::store_global_string:
      return m.string_vars.replace(static_cast<size_t>(in.arg), m.pop_text());
    case Op::drop_int:
      m.pop_int();
      return;
    case Op::drop_string:
      m.pop_text();
      return;
    case Op::add:
    case Op::sub:
    case Op::mul:
    case Op::div:
    case Op::mod:
      return arithmetic(m, in.op);
    case Op::negate:
      return m.push_int(static_cast<int64_t>(0 - static_cast<uint64_t>(m.pop_int())));
    case Op::concat:
      return concatenate(m);
    case Op::int_compare:
      return compare_ints(m, static_cast<Compare>(in.arg));
    case Op::string_compare:
      return compare_texts(m, static_cast<Compare>(in.arg));
    case Op::logical_not:
      return m.push_int(m.pop_int() == 0 ? 1 : 0);
    case Op::write_int:
      return write_value(m, static_cast<Channel>(in.arg), decimal(m.pop_int()));
    case Op::write_string:
      return write_value(m, static_cast<Channel>(in.arg), m.pop_text());
    case Op::write_newline:
      return m.out.write(Bytes{"\n", 1});
    case Op::flush:
      return m.out.flush();
    case Op::call:
      return call_builtin(m, static_cast<Builtin>(in.arg));
    case Op::array_dim:
    case Op::array_load:
    case Op::array_store:
    case Op::array_ubound:
    case Op::array_push_ref:
    case Op::array_bind:
    case Op::map_load:
    case Op::map_store:
      return run_array_instruction(m, in);
    case Op::lock_take: {
      Text path = m.pop_text();
      return m.locks.take(path);
    }
    case Op::lock_release:
      return m.locks.release(in.arg);
    case Op::take_string:
      return m.push_text(m.calls.take_string_slot(in.arg));
    case Op::take_global_string:
      return m.push_text(m.string_vars.take(static_cast<size_t>(in.arg)));
    case Op::call_on_string:
      return call_on_text(m, static_cast<Builtin>(in.arg),
                          in.arg3 == static_cast<int64_t>(ArrayScope::global)
                              ? m.string_vars.view(static_cast<size_t>(in.arg2))
                              : m.calls.string_slot(in.arg2));
    // run() takes these itself; no default, so that an instruction added to the list and
    // handled nowhere fails to compile.
    case Op::jump:
    case Op::jump_if_false:
    case Op::jump_if_true:
    case Op::for_enter:
    case Op::for_next:
    case Op::for_enter_global:
    case Op::for_next_global:
    case Op::call_procedure:
    case Op::return_procedure:
    case Op::end:
    case Op::kCount:
      fail_run("the program is damaged");
  }
}

int run(MachineState& m) {
  const PodArray<Instruction>& code = m.program.code;
  for (size_t pc = 0; pc < code.size();) {
    const Instruction& in = code[pc++];
    m.line = in.line;
    switch (in.op) {
      case Op::jump:
        pc = static_cast<size_t>(in.arg);
        break;
      case Op::jump_if_false:
        if (m.pop_int() == 0) pc = static_cast<size_t>(in.arg);
        break;
      case Op::jump_if_true:
        if (m.pop_int() != 0) pc = static_cast<size_t>(in.arg);
        break;
      case Op::for_enter:
      case Op::for_next:
      case Op::for_enter_global:
      case Op::for_next_global:
        pc = for_step(m, in, pc);
        break;
      case Op::call_procedure:
        m.calls.enter(m.program.procedures[in.arg], pc);
        pc = m.program.procedures[in.arg].entry;
        break;
      case Op::return_procedure:
        pc = m.calls.leave();
        break;
      case Op::end:
        return static_cast<int>(m.pop_int() & 0xff);
      default:
        step(m, in);
    }
  }
  return 0;
}

// The one place that a failed run comes back to (see WatchedRun): the frames it skips hold only
// blocks on the allocation ledger, and the state they worked on is `m`, which the caller frees.
RunEnd run_watched(MachineState& m, WatchedRun& watched) {
  if (setjmp(watched.failed) != 0) return RunEnd{1, true};
  const int code = run(m);
  m.out.finish();
  return RunEnd{code, false};
}

}  // namespace

RunEnd run_program(const LoadedProgram& program, const Host& host) {
  start_random_sequence();
  MachineState machine(program, host);
  WatchedRun watched(machine.out, machine.line, program, host);
  return run_watched(machine, watched);
}

}  // namespace sr::zr
