#include "compiler/expression.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <string_view>

namespace sr::zr {
namespace {

struct ConstantValue {
  std::string_view name;
  const char* text;  // string constants
  int64_t value;     // integer constants when text is null
};

constexpr std::array<ConstantValue, 7> kConstants = {{{"lf$", "\n", 0},
                                                      {"cr$", "\r", 0},
                                                      {"crlf$", "\r\n", 0},
                                                      {"tab$", "\t", 0},
                                                      {"dquote$", "\"", 0},
                                                      {"true", nullptr, 1},
                                                      {"false", nullptr, 0}}};

std::string mismatch(const std::string& what, Type a, Type b) {
  return "Type mismatch: " + what + ", not " + type_name(a) + " and " + type_name(b);
}

std::string mismatch(const std::string& what, Type a) {
  return "Type mismatch: " + what + ", not " + type_name(a);
}

// Whether a built-in's parameter of type `param` takes an argument of type `given`.
bool takes(Type param, Type given) {
  return param == given ||
         (param == Type::map && (given == Type::int_map || given == Type::string_map));
}

}  // namespace

std::string type_name(Type type) {
  switch (type) {
    case Type::integer:
      return "an integer";
    case Type::string:
      return "a string";
    case Type::map:
      return "a map";
    case Type::string_map:
      return "a map of strings";
    case Type::int_map:
      return "a map of integers";
    case Type::int_array:
      return "an array of integers";
    default:
      return "an array of strings";
  }
}

std::string describe_token(const Token& token) {
  switch (token.kind) {
    case Token::Kind::end:
      return "end of line";
    case Token::Kind::string:
      return "string \"" + token.text + "\"";
    case Token::Kind::number:
      return "number " + std::to_string(token.value);
    case Token::Kind::constant:
      return "'#" + token.text + "'";
    default:
      return "'" + token.text + "'";
  }
}

namespace {

class ExpressionCompiler {
 public:
  ExpressionCompiler(TokenCursor& cursor, CompileContext& context, std::string& error)
      : in_(cursor), context_(context), code_(context.code), error_(error) {}

  bool logical(int level, Type& type);  // 0: Or, 1: And
  bool call(const std::string& name, bool as_statement, Type& type, bool& has_value);

 private:
  bool negation(Type& type);
  bool comparison(Type& type);
  bool additive(Type& type);
  bool term(Type& type);
  bool unary(Type& type);
  bool primary(Type& type);
  bool name_or_call(const Token& name, Type& type);
  bool constant(const Token& token, Type& type);
  bool element(const std::string& name, Type& type);
  bool ubound(Type& type);
  bool array_argument(bool strings, const std::string& what);
  bool map_value(const std::string& name, Type& type);
  bool map_argument(const std::string& what, Type& given);
  bool container_argument(const std::vector<const BuiltinSignature*>& candidates,
                          const std::string& name, size_t at, Type& arg);
  bool arguments(const std::string& name, std::vector<Type>& types);
  bool procedure_call(const ProcedureDecl& procedure, bool as_statement);
  bool procedure_argument(const ProcedureDecl& procedure, size_t i);
  bool builtin_call(const std::string& name, Type& type);
  void emit_builtin(Builtin builtin, const std::vector<size_t>& arg_starts);
  bool fail(std::string message) {
    if (error_.empty()) error_ = std::move(message);
    return false;
  }

  TokenCursor& in_;
  CompileContext& context_;
  CodeBuilder& code_;
  std::string& error_;
};

// And/Or evaluate their right side only when the left one leaves the result open, so that
// `n <> 0 And 10 / n > 1` is safe; the result is 1 or 0.
bool ExpressionCompiler::logical(int level, Type& type) {
  const char* keyword = level == 0 ? "or" : "and";
  const std::string what = std::string("'") + (level == 0 ? "Or" : "And") + "' needs integers";
  auto side = [&](Type& t) { return level == 0 ? logical(1, t) : negation(t); };
  if (!side(type)) return false;
  if (in_.peek().text != keyword || in_.peek().kind != Token::Kind::name) return true;
  const Op decided_by = level == 0 ? Op::jump_if_true : Op::jump_if_false;
  std::vector<size_t> decided;
  while (in_.take_keyword(keyword)) {
    if (type != Type::integer) return fail(mismatch(what, type));
    decided.push_back(code_.emit(decided_by));
    if (!side(type)) return false;
  }
  if (type != Type::integer) return fail(mismatch(what, type));
  decided.push_back(code_.emit(decided_by));
  code_.emit(Op::push_int, level == 0 ? 0 : 1);
  size_t skip = code_.emit(Op::jump);
  for (size_t at : decided) code_.patch(at, code_.here());
  code_.emit(Op::push_int, level == 0 ? 1 : 0);
  code_.patch(skip, code_.here());
  return true;
}

bool ExpressionCompiler::negation(Type& type) {
  if (!in_.take_keyword("not")) return comparison(type);
  if (!negation(type)) return false;
  if (type != Type::integer) return fail(mismatch("'Not' needs an integer", type));
  code_.emit(Op::logical_not);
  return true;
}

bool ExpressionCompiler::comparison(Type& type) {
  static constexpr std::pair<const char*, Compare> kOps[] = {
      {"=", Compare::eq}, {"<>", Compare::ne}, {"<", Compare::lt},
      {">", Compare::gt}, {"<=", Compare::le}, {">=", Compare::ge}};
  if (!additive(type)) return false;
  for (;;) {
    const std::pair<const char*, Compare>* found = nullptr;
    for (const auto& op : kOps) {
      if (!found && in_.take_symbol(op.first)) found = &op;
    }
    if (!found) return true;
    Type right = Type::integer;
    if (!additive(right)) return false;
    if (type != right || type == Type::string_array) {
      return fail(mismatch(
          std::string("'") + found->first + "' compares two integers or two strings", type, right));
    }
    code_.emit(type == Type::integer ? Op::int_compare : Op::string_compare,
               static_cast<int64_t>(found->second));
    type = Type::integer;
  }
}

bool ExpressionCompiler::additive(Type& type) {
  if (!term(type)) return false;
  for (;;) {
    bool plus = in_.take_symbol("+");
    if (!plus && !in_.take_symbol("-")) return true;
    Type right = Type::integer;
    if (!term(right)) return false;
    if (plus && type == Type::string && right == Type::string) {
      code_.emit(Op::concat);
    } else if (type == Type::integer && right == Type::integer) {
      code_.emit(plus ? Op::add : Op::sub);
    } else {
      return fail(plus ? mismatch("'+' adds integers or joins strings", type, right)
                       : mismatch("'-' needs integers", type, right));
    }
  }
}

bool ExpressionCompiler::term(Type& type) {
  if (!unary(type)) return false;
  for (;;) {
    const char* symbol = in_.take_symbol("*")      ? "*"
                         : in_.take_symbol("/")    ? "/"
                         : in_.take_symbol("%")    ? "%"
                         : in_.take_keyword("mod") ? "Mod"
                                                   : nullptr;
    if (symbol == nullptr) return true;
    Type right = Type::integer;
    if (!unary(right)) return false;
    if (type != Type::integer || right != Type::integer) {
      return fail(mismatch(std::string("'") + symbol + "' needs integers", type, right));
    }
    const std::string_view s = symbol;
    code_.emit(s == "*" ? Op::mul : s == "/" ? Op::div : Op::mod);
  }
}

bool ExpressionCompiler::unary(Type& type) {
  if (!in_.take_symbol("-")) return primary(type);
  // The most negative integer can only be written as a negated literal.
  if (in_.peek().kind == Token::Kind::number && in_.peek().value == (uint64_t{1} << 63)) {
    in_.next();
    code_.emit(Op::push_int, INT64_MIN);
    type = Type::integer;
    return true;
  }
  if (!unary(type)) return false;
  if (type != Type::integer) return fail(mismatch("'-' needs an integer", type));
  code_.emit(Op::negate);
  return true;
}

bool ExpressionCompiler::primary(Type& type) {
  const Token& token = in_.next();
  switch (token.kind) {
    case Token::Kind::number:
      if (token.value > static_cast<uint64_t>(INT64_MAX)) return fail("Number too large");
      code_.emit(Op::push_int, static_cast<int64_t>(token.value));
      type = Type::integer;
      return true;
    case Token::Kind::string:
      code_.emit(Op::push_string, code_.string_constant(token.text));
      type = Type::string;
      return true;
    case Token::Kind::constant:
      return constant(token, type);
    case Token::Kind::name:
      return name_or_call(token, type);
    case Token::Kind::symbol:
      if (token.text == "(") {
        if (!logical(0, type)) return false;
        return in_.take_symbol(")") || fail("Missing ')'");
      }
      [[fallthrough]];
    default:
      return fail("Expected a value but found " + describe_token(token));
  }
}

bool ExpressionCompiler::constant(const Token& token, Type& type) {
  for (const ConstantValue& c : kConstants) {
    if (c.name != token.text) continue;
    if (c.text != nullptr) {
      code_.emit(Op::push_string, code_.string_constant(c.text));
      type = Type::string;
    } else {
      code_.emit(Op::push_int, c.value);
      type = Type::integer;
    }
    return true;
  }
  return fail("Unknown constant #" + token.text);
}

bool ExpressionCompiler::name_or_call(const Token& name, Type& type) {
  if (in_.peek().kind == Token::Kind::symbol && in_.peek().text == "(") {
    bool has_value = false;
    return call(name.text, false, type, has_value);
  }
  if (in_.peek().kind == Token::Kind::symbol && in_.peek().text == "{") {
    return map_value(name.text, type);
  }
  if (is_keyword(name.text)) return fail("Expected a value but found '" + name.text + "'");
  type = is_string_name(name.text) ? Type::string : Type::integer;
  return context_.load_variable(name.text, error_);
}

bool ExpressionCompiler::call(const std::string& name, bool as_statement, Type& type,
                              bool& has_value) {
  has_value = true;
  if (const ProcedureDecl* procedure = context_.decls.procedure(name)) {
    has_value = procedure->is_function;
    type = procedure->result();
    return procedure_call(*procedure, as_statement);
  }
  if (name == "ubound") return ubound(type);
  if (!find_builtins(name).empty()) return builtin_call(name, type);
  if (context_.is_array(name)) return element(name, type);
  if (context_.in_procedure() && context_.top.is_array(name)) {
    return fail(name + " is an array of the top level: Global " + name + "() makes it usable in " +
                context_.scope().procedure()->name);
  }
  return fail("Unknown function " + name);
}

bool ExpressionCompiler::element(const std::string& name, Type& type) {
  in_.next();  // "("
  Type index = Type::integer;
  if (in_.take_symbol(")")) return fail("An element of " + name + " needs an index");
  if (!logical(0, index)) return false;
  if (index != Type::integer) return fail(mismatch("an array index must be an integer", index));
  if (!in_.take_symbol(")")) return fail("Missing ')' after the index of " + name);
  const ArrayRef ref = context_.array(name);
  code_.emit(Op::array_load, ref.slot, static_cast<int64_t>(ref.scope),
             ref.strings ? kArrayOfStrings : 0);
  type = ref.strings ? Type::string : Type::integer;
  return true;
}

// `name()` or `name$()` as an argument: a reference to the array, which the callee may change.
bool ExpressionCompiler::array_argument(bool strings, const std::string& what) {
  const std::string form = strings ? "list$()" : "list()";
  const Token& name = in_.peek();
  if (name.kind != Token::Kind::name || in_.peek(1).text != "(" || in_.peek(2).text != ")" ||
      is_string_name(name.text) != strings || !context_.is_array(name.text)) {
    return fail(what + " must be an array of " + (strings ? "strings" : "integers") +
                ", written like " + form);
  }
  const ArrayRef ref = context_.array(in_.next().text);
  in_.next();
  in_.next();
  code_.emit(Op::array_push_ref, ref.slot, static_cast<int64_t>(ref.scope),
             ref.strings ? kArrayOfStrings : 0);
  return true;
}

// `name{key$}`: the value for the key, 0 or "" when the map has none.
bool ExpressionCompiler::map_value(const std::string& name, Type& type) {
  in_.next();  // "{"
  if (in_.take_symbol("}")) return fail("A value of " + name + " needs a key: " + name + "{key$}");
  Type key = Type::string;
  if (!logical(0, key)) return false;
  if (key != Type::string) return fail(mismatch("a map key must be a string", key));
  if (!in_.take_symbol("}")) return fail("Missing '}' after the key of " + name);
  ArrayRef ref;
  if (!context_.map(name, ref, error_)) return false;
  code_.emit(Op::map_load, ref.slot, static_cast<int64_t>(ref.scope),
             kArrayIsMap | (ref.strings ? kArrayOfStrings : 0));
  type = ref.strings ? Type::string : Type::integer;
  return true;
}

// `name{}` or `name${}` as an argument: a reference to the map, which the callee may change.
bool ExpressionCompiler::map_argument(const std::string& what, Type& given) {
  const Token& name = in_.peek();
  if (name.kind != Token::Kind::name || in_.peek(1).text != "{" || in_.peek(2).text != "}") {
    return fail(what + " must be a map, written like ages{} or names${}");
  }
  ArrayRef ref;
  if (!context_.map(in_.next().text, ref, error_)) return false;
  in_.next();
  in_.next();
  code_.emit(Op::array_push_ref, ref.slot, static_cast<int64_t>(ref.scope),
             kArrayIsMap | (ref.strings ? kArrayOfStrings : 0));
  given = ref.strings ? Type::string_map : Type::int_map;
  return true;
}

// An argument where a candidate takes an array or a map, told apart by how it is written.
bool ExpressionCompiler::container_argument(const std::vector<const BuiltinSignature*>& candidates,
                                            const std::string& name, size_t at, Type& arg) {
  bool texts = false, ints = false, map_here = false;
  for (const BuiltinSignature* s : candidates) {
    if (at >= s->params.size()) continue;
    texts |= s->params[at] == Type::string_array;
    ints |= s->params[at] == Type::int_array;
    map_here |= s->params[at] == Type::map || s->params[at] == Type::string_map;
  }
  const std::string what = "Type mismatch: argument " + std::to_string(at + 1) + " of " + name;
  if (map_here && ((!texts && !ints) || in_.peek(1).text == "{")) return map_argument(what, arg);
  const bool strings = texts && (!ints || is_string_name(in_.peek().text));
  arg = strings ? Type::string_array : Type::int_array;
  return array_argument(strings, what);
}

bool ExpressionCompiler::ubound(Type& type) {
  in_.next();  // "("
  const Token& name = in_.peek();
  const bool strings = name.kind == Token::Kind::name && is_string_name(name.text);
  if (name.kind != Token::Kind::name || in_.peek(1).text != "(" || in_.peek(2).text != ")" ||
      !context_.is_array(name.text)) {
    return fail("UBound needs an array, written like UBound(list()) or UBound(list$())");
  }
  const ArrayRef ref = context_.array(in_.next().text);
  in_.next();
  in_.next();
  if (!in_.take_symbol(")")) return fail("Missing ')' after the argument of UBound");
  code_.emit(Op::array_ubound, ref.slot, static_cast<int64_t>(ref.scope),
             strings ? kArrayOfStrings : 0);
  type = Type::integer;
  return true;
}

bool ExpressionCompiler::procedure_argument(const ProcedureDecl& procedure, size_t i) {
  const Parameter& param = procedure.params[i];
  const std::string what = "argument " + std::to_string(i + 1) + " of " + procedure.name;
  if (param.kind == ParamKind::int_array || param.kind == ParamKind::string_array) {
    return array_argument(param.kind == ParamKind::string_array, "Type mismatch: " + what);
  }
  if (param.kind == ParamKind::int_map || param.kind == ParamKind::string_map) {
    const Type wanted = param.kind == ParamKind::string_map ? Type::string_map : Type::int_map;
    Type given = wanted;
    if (!map_argument("Type mismatch: " + what, given)) return false;
    if (given == wanted) return true;
    return fail(mismatch(what + " (" + param.name + "{}) must be " + type_name(wanted), given));
  }
  const Type wanted = param.kind == ParamKind::string ? Type::string : Type::integer;
  Type given = Type::integer;
  if (!logical(0, given)) return false;
  if (given == wanted) return true;
  return fail(mismatch(what + " (" + param.name + ") must be " + type_name(wanted), given));
}

bool ExpressionCompiler::procedure_call(const ProcedureDecl& procedure, bool as_statement) {
  const std::string kind = procedure.is_function ? "Function " : "Sub ";
  if (!procedure.is_function && !as_statement) {
    return fail("Sub " + procedure.name + " gives no value; call it as a statement");
  }
  in_.next();  // "("
  const size_t count = procedure.params.size();
  const std::string wrong_count = kind + procedure.name + " takes " + std::to_string(count) +
                                  " argument" + (count == 1 ? "" : "s");
  if (in_.take_symbol(")")) {
    if (count != 0) return fail(wrong_count);
  } else {
    for (size_t i = 0;; ++i) {
      if (i >= count) return fail(wrong_count);
      if (!procedure_argument(procedure, i)) return false;
      if (in_.take_symbol(",")) continue;
      if (!in_.take_symbol(")"))
        return fail("Missing ')' after the arguments of " + procedure.name);
      if (i + 1 != count) return fail(wrong_count);
      break;
    }
  }
  code_.emit(Op::call_procedure, procedure.index);
  return true;
}

bool ExpressionCompiler::builtin_call(const std::string& name, Type& type) {
  std::vector<const BuiltinSignature*> candidates = find_builtins(name);
  in_.next();  // "("
  std::vector<Type> args;
  std::vector<size_t> arg_starts;
  if (!in_.take_symbol(")")) {
    do {
      const size_t at = args.size();
      arg_starts.push_back(code_.here());
      // An array or map argument is written as its name; which ones are those is fixed.
      bool container = false;
      for (const BuiltinSignature* s : candidates) {
        if (at < s->params.size() && s->params[at] != Type::integer &&
            s->params[at] != Type::string) {
          container = true;
        }
      }
      Type arg = Type::integer;
      if (container ? !container_argument(candidates, name, at, arg) : !logical(0, arg)) {
        return false;
      }
      args.push_back(arg);
    } while (in_.take_symbol(","));
    if (!in_.take_symbol(")")) return fail("Missing ')' after the arguments of " + name);
  }
  // The first row whose parameters take the arguments; else the first row of that count names
  // the mismatch.
  const BuiltinSignature* first = nullptr;
  for (const BuiltinSignature* s : candidates) {
    if (s->params.size() != args.size()) continue;
    if (first == nullptr) first = s;
    size_t i = 0;
    while (i < args.size() && takes(s->params[i], args[i])) ++i;
    if (i < args.size()) continue;
    emit_builtin(s->builtin, arg_starts);
    type = s->result;
    return true;
  }
  if (first == nullptr) return fail("Wrong number of arguments for " + name);
  size_t i = 0;
  while (takes(first->params[i], args[i])) ++i;
  return fail(mismatch("argument " + std::to_string(i + 1) + " of " + name + " must be " +
                           type_name(first->params[i]),
                       args[i]));
}

// A text variable as the first argument of a built-in that only reads it is read where it lies
// instead of copied onto the stack: the load goes and the call names the variable. Only where
// nothing between the load and the call can change the variable (a procedure call could) or
// jumps (a target past the load would move).
void ExpressionCompiler::emit_builtin(Builtin builtin, const std::vector<size_t>& arg_starts) {
  std::vector<Instruction>& code = code_.program().code;
  const size_t first = arg_starts.empty() ? code.size() : arg_starts[0];
  const size_t second = arg_starts.size() > 1 ? arg_starts[1] : code.size();
  const bool fused =
      reads_first_text_in_place(builtin) && second == first + 1 &&
      (code[first].op == Op::load_string || code[first].op == Op::load_global_string) &&
      std::none_of(code.begin() + static_cast<std::ptrdiff_t>(second), code.end(),
                   [](const Instruction& in) {
                     return in.op == Op::call_procedure || in.op == Op::jump ||
                            in.op == Op::jump_if_false || in.op == Op::jump_if_true;
                   });
  if (!fused) {
    code_.emit(Op::call, static_cast<int64_t>(builtin));
    return;
  }
  const Instruction load = code[first];
  code.erase(code.begin() + static_cast<std::ptrdiff_t>(first));
  const ArrayScope scope =
      load.op == Op::load_global_string ? ArrayScope::global : ArrayScope::frame;
  code_.emit(Op::call_on_string, static_cast<int64_t>(builtin), load.arg,
             static_cast<int64_t>(scope));
}

}  // namespace

bool is_keyword(const std::string& name) {
  static constexpr std::string_view kKeywords[] = {
      "and",       "or",         "not",   "to",    "step",     "if",          "elseif", "else",
      "endif",     "while",      "wend",  "for",   "next",     "break",       "end",    "write",
      "writeline", "writeerror", "flush", "mod",   "function", "endfunction", "sub",    "endsub",
      "return",    "global",     "dim",   "redim", "include"};
  for (std::string_view k : kKeywords) {
    if (k == name) return true;
  }
  return false;
}

bool is_string_name(const std::string& name) {
  return !name.empty() && name.back() == '$';
}

const Token& TokenCursor::peek(size_t ahead) const {
  size_t at = pos_ + ahead;
  return tokens_[at < tokens_.size() ? at : tokens_.size() - 1];
}

bool TokenCursor::take_symbol(const char* symbol) {
  if (peek().kind != Token::Kind::symbol || peek().text != symbol) return false;
  ++pos_;
  return true;
}

bool TokenCursor::take_keyword(const char* keyword) {
  if (peek().kind != Token::Kind::name || peek().text != keyword) return false;
  ++pos_;
  return true;
}

bool compile_expression(TokenCursor& cursor, CompileContext& context, Type& type,
                        std::string& error) {
  return ExpressionCompiler(cursor, context, error).logical(0, type);
}

bool compile_call(TokenCursor& cursor, CompileContext& context, const std::string& name,
                  bool as_statement, Type& type, bool& has_value, std::string& error) {
  return ExpressionCompiler(cursor, context, error).call(name, as_statement, type, has_value);
}

}  // namespace sr::zr
