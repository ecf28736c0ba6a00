// The dispatch of the built-in functions, and those that reach the run's world (its environment,
// arguments, input and clock) or compute on integers.
#include "compiler/stub/builtin_calls.h"

#include <time.h>

#include "compiler/stub/random_numbers.h"
#include "compiler/stub/text_functions.h"

namespace sr::zr {
namespace {

using BuiltinFunction = void (*)(MachineState&);

#define SR_ZR_BUILTIN_ADDRESS(code, ...) &call_##code,
constexpr BuiltinFunction kBuiltinFunctions[] = {SR_ZR_BUILTINS(SR_ZR_BUILTIN_ADDRESS)};
#undef SR_ZR_BUILTIN_ADDRESS
static_assert(sizeof kBuiltinFunctions / sizeof kBuiltinFunctions[0] ==
              static_cast<size_t>(Builtin::kCount));

}  // namespace

// The program's operands were checked when it was read: `builtin` is one of the list's codes.
void call_builtin(MachineState& m, Builtin builtin) {
  kBuiltinFunctions[static_cast<size_t>(builtin)](m);
}

void call_env(MachineState& m) {
  Text name = m.pop_text();
  const char* value = m.host.environment(m.host.context, name.c_str());
  m.push_text(Text(bytes_of(value ? value : "")));
}

void call_arg(MachineState& m) {
  const int64_t n = m.pop_int();
  m.push_text(Text(bytes_of(n >= 1 && n < m.host.argc ? m.host.argv[n] : "")));
}

void call_arg_count(MachineState& m) {
  m.push_int(m.host.argc > 0 ? m.host.argc - 1 : 0);
}

void call_read_all(MachineState& m) {
  m.push_text(m.in.read_all());
}

void call_read_line(MachineState& m) {
  m.push_text(m.in.read_line());
}

void call_time(MachineState& m) {
  m.push_int(static_cast<int64_t>(::time(nullptr)));
}

void call_len(MachineState& m) {
  m.push_int(static_cast<int64_t>(m.pop_text().size()));
}

void call_asc(MachineState& m) {
  Text s = m.pop_text();
  m.push_int(s.empty() ? 0 : static_cast<unsigned char>(s.view()[0]));
}

void call_chr(MachineState& m) {
  const int64_t n = m.pop_int();
  if (n < 0 || n > 255) fail_run("Chr$ needs a value from 0 to 255");
  const char byte = static_cast<char>(n);
  m.push_text(Text(Bytes{&byte, 1}));
}

void call_str(MachineState& m) {
  m.push_text(decimal(m.pop_int()));
}

void call_val(MachineState& m) {
  Text s = m.pop_text();
  m.push_int(leading_integer(s.view()));
}

// As with unary minus, the lowest integer has no positive counterpart and stays as it is.
void call_abs(MachineState& m) {
  const int64_t n = m.pop_int();
  m.push_int(n < 0 ? static_cast<int64_t>(0 - static_cast<uint64_t>(n)) : n);
}

void call_min(MachineState& m) {
  const int64_t b = m.pop_int(), a = m.pop_int();
  m.push_int(a < b ? a : b);
}

void call_max(MachineState& m) {
  const int64_t b = m.pop_int(), a = m.pop_int();
  m.push_int(a > b ? a : b);
}

void call_random(MachineState& m) {
  const int64_t n = m.pop_int();
  if (n < 1) fail_run("Random needs a value of 1 or more");
  m.push_int(random_below(n));
}

}  // namespace sr::zr
