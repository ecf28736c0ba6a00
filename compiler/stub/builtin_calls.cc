// The dispatch of the built-in functions, and those that reach the run's world (its environment,
// arguments, input and clock) or compute on integers.
#include "compiler/stub/builtin_calls.h"

#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "compiler/stub/array_values.h"
#include "compiler/stub/decimal.h"
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

// The name of an environment entry, kept when getenv could find it by that name.
void keep_name(void* names, const char* entry) {
  const char* eq = strchr(entry, '=');
  if (eq == nullptr || eq == entry) return;
  static_cast<PodArray<Bytes>*>(names)->push(Bytes{entry, static_cast<size_t>(eq - entry)});
}

int by_bytes(const void* a, const void* b) {
  return compare_bytes(*static_cast<const Bytes*>(a), *static_cast<const Bytes*>(b));
}

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

// The environment's names, sorted byte by byte, each once (as Env$ finds the first of a name
// that appears twice).
void call_env_names(MachineState& m) {
  PodArray<Bytes> found;
  m.host.each_variable(m.host.context, keep_name, &found);
  if (!found.empty()) qsort(found.data(), found.size(), sizeof(Bytes), by_bytes);
  ValueArray& names = m.calls.pop_ref(true);
  int64_t count = 0;
  for (size_t i = 0; i < found.size(); ++i) {
    count += i == 0 || compare_bytes(found[i - 1], found[i]) != 0 ? 1 : 0;
  }
  resize_array(names, count - 1, false);
  for (size_t i = 0, kept = 0; i < found.size(); ++i) {
    if (i > 0 && compare_bytes(found[i - 1], found[i]) == 0) continue;
    set_text_element(names, static_cast<int64_t>(kept++), Text(found[i]));
  }
  m.push_int(count);
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

void call_chr(MachineState& m) {
  const int64_t n = m.pop_int();
  if (n < 0 || n > 255) fail_run("Chr$ needs a value from 0 to 255");
  const char byte = static_cast<char>(n);
  m.push_text(Text(Bytes{&byte, 1}));
}

void call_str(MachineState& m) {
  m.strings.push_copy(Decimal(m.pop_int()).view());
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
