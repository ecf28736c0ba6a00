#include "compiler/builtin_table.h"

namespace sr::zr {
namespace {

constexpr Type I = Type::integer;
constexpr Type S = Type::string;
constexpr Type A = Type::string_array;
constexpr Type M = Type::map;
constexpr Type T = Type::string_map;
constexpr Type N = Type::int_array;

const std::vector<BuiltinSignature>& table() {
#define SR_ZR_SIGNATURE(code, name, result, ...) {name, Builtin::code, result, {__VA_ARGS__}},
  static const std::vector<BuiltinSignature> kTable = {SR_ZR_BUILTINS(SR_ZR_SIGNATURE)};
#undef SR_ZR_SIGNATURE
  return kTable;
}

}  // namespace

std::vector<const BuiltinSignature*> find_builtins(std::string_view name) {
  std::vector<const BuiltinSignature*> found;
  for (const BuiltinSignature& s : table()) {
    if (s.name == name) found.push_back(&s);
  }
  return found;
}

bool is_builtin_name(std::string_view name) {
  return name == "ubound" || !find_builtins(name).empty();
}

std::string builtin_name_taken(const std::string& name, std::string_view what) {
  return name + " is the name of a built-in function; " + std::string(what) +
         " needs a name of its own";
}

}  // namespace sr::zr
