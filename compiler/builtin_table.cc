#include "compiler/builtin_table.h"

namespace sr::zr {
namespace {

constexpr Type I = Type::integer;
constexpr Type S = Type::string;

const std::vector<BuiltinSignature>& table() {
  static const std::vector<BuiltinSignature> kTable = {
      {"env$", Builtin::env, S, {S}},
      {"arg$", Builtin::arg, S, {I}},
      {"argcount", Builtin::arg_count, I, {}},
      {"readall$", Builtin::read_all, S, {}},
      {"readline$", Builtin::read_line, S, {}},
      {"len", Builtin::len, I, {S}},
      {"asc", Builtin::asc, I, {S}},
      {"chr$", Builtin::chr, S, {I}},
      {"str$", Builtin::str, S, {I}},
      {"val", Builtin::val, I, {S}},
      {"left$", Builtin::left, S, {S, I}},
      {"right$", Builtin::right, S, {S, I}},
      {"mid$", Builtin::mid2, S, {S, I}},
      {"mid$", Builtin::mid3, S, {S, I, I}},
      {"find", Builtin::find2, I, {S, S}},
      {"find", Builtin::find3, I, {S, S, I}},
      {"replace$", Builtin::replace, S, {S, S, S}},
      {"trim$", Builtin::trim, S, {S}},
      {"upper$", Builtin::upper, S, {S}},
      {"lower$", Builtin::lower, S, {S}},
      {"field$", Builtin::field, S, {S, I, S}},
      {"urldecode$", Builtin::url_decode, S, {S}},
      {"htmlescape$", Builtin::html_escape, S, {S}},
      {"time", Builtin::time, I, {}},
      {"abs", Builtin::abs, I, {I}},
      {"min", Builtin::min, I, {I, I}},
      {"max", Builtin::max, I, {I, I}},
      {"urlencode$", Builtin::url_encode, S, {S}},
      {"jsonescape$", Builtin::json_escape, S, {S}},
      {"formvalue$", Builtin::form_value, S, {S, S}},
      {"formatdate$", Builtin::format_date, S, {S, I}},
      {"random", Builtin::random, I, {I}},
      {"readfile$", Builtin::read_file, S, {S}},
      {"writefile", Builtin::write_file, I, {S, S}},
      {"appendfile", Builtin::append_file, I, {S, S}},
      {"fileexists", Builtin::file_exists, I, {S}},
      {"filesize", Builtin::file_size, I, {S}},
      {"deletefile", Builtin::delete_file, I, {S}},
      {"split", Builtin::split, I, {Type::string_array, S, S}},
      {"join$", Builtin::join, S, {Type::string_array, S}},
  };
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

}  // namespace sr::zr
