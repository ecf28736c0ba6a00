// Function, Sub, Return, Global and call statements.
#include "compiler/statement.h"

namespace sr::zr {
namespace {

Op store_for(const Parameter& param) {
  switch (param.kind) {
    case ParamKind::integer:
      return Op::store_int;
    case ParamKind::string:
      return Op::store_string;
    default:
      return Op::array_bind;
  }
}

// A plain variable may share a built-in's name (the call has its parentheses, the variable
// none), and pages do that; an array may not, as `name(...)` would mean either.
bool is_map(const Parameter& p) {
  return p.kind == ParamKind::int_map || p.kind == ParamKind::string_map;
}

int64_t reference_flags(const Parameter& p) {
  const bool strings = p.kind == ParamKind::string_array || p.kind == ParamKind::string_map;
  return (strings ? kArrayOfStrings : 0) | (is_map(p) ? kArrayIsMap : 0);
}

const Parameter* array_named_like_builtin(const std::vector<Parameter>& params) {
  for (const Parameter& p : params) {
    const bool array = p.kind != ParamKind::integer && p.kind != ParamKind::string;
    if (array && is_builtin_name(p.name)) return &p;
  }
  return nullptr;
}

}  // namespace

// The body is skipped where it stands; a call enters it at `entry`, where the arguments are
// taken off the stacks into the parameters' slots, last first.
bool StatementCompiler::procedure_start(TokenCursor& in, bool is_function) {
  const std::string keyword = is_function ? "Function" : "Sub";
  if (!blocks_.empty()) {
    return fail(keyword + " belongs at the top level, not inside " +
                (blocks_.front().kind == BlockKind::procedure ? "another procedure" : "a block"));
  }
  ProcedureDecl header;
  header.is_function = is_function;
  std::string problem;
  const ProcedureDecl* decl = nullptr;
  if (!parse_procedure_header(in, header, problem)) {
    fail(problem);
  } else if (is_builtin_name(header.name)) {
    fail(keyword + " " + header.name + " has the name of a built-in function");
  } else if (const Parameter* p = array_named_like_builtin(header.params)) {
    fail(builtin_name_taken(p->name, "an array parameter"));
  } else if (context_.decls.procedure(header.name) == nullptr ||
             context_.decls.procedure(header.name)->defined_at != index_) {
    fail("A procedure named " + header.name + " is already defined");
  } else {
    decl = context_.decls.procedure(header.name);
  }
  if (decl == nullptr) {
    unreadable_ = header;
    decl = &unreadable_;
  }
  Block block = new_block(BlockKind::procedure);
  block.procedure = decl;
  block.exits.push_back(code_.emit(Op::jump));
  block.top = code_.here();
  context_.enter_procedure(*decl);
  Scope& scope = context_.scope();
  std::vector<uint32_t> slots;
  for (const Parameter& p : decl->params) {
    slots.push_back(p.kind == ParamKind::integer  ? scope.int_slot(p.name)
                    : p.kind == ParamKind::string ? scope.string_slot(p.name)
                    : is_map(p)                   ? scope.array_slot(p.name + "{}")
                                                  : scope.array_slot(p.name));
  }
  for (size_t i = decl->params.size(); i-- > 0;) {
    const Parameter& p = decl->params[i];
    code_.emit(store_for(p), slots[i], static_cast<int64_t>(ArrayScope::frame), reference_flags(p));
  }
  blocks_.push_back(block);
  return error_.empty();
}

bool StatementCompiler::procedure_end(bool is_function) {
  const std::string keyword = is_function ? "EndFunction" : "EndSub";
  size_t at = blocks_.size();
  while (at > 0 && blocks_[at - 1].kind != BlockKind::procedure) --at;
  if (at == 0) return fail(keyword + " without " + (is_function ? "Function" : "Sub"));
  report_unclosed(at);
  Block& block = blocks_.back();
  const ProcedureDecl& decl = *block.procedure;
  close_procedure(block);
  if (decl.is_function != is_function) {
    return fail(keyword + " does not match " + (decl.is_function ? "Function " : "Sub ") +
                decl.name);
  }
  return true;
}

void StatementCompiler::close_procedure(Block& block) {
  const ProcedureDecl& decl = *block.procedure;
  if (decl.is_function) {
    if (decl.result() == Type::string) {
      code_.emit(Op::push_string, code_.string_constant(""));
    } else {
      code_.emit(Op::push_int, 0);
    }
  }
  code_.emit(Op::return_procedure);
  std::vector<ProcedureInfo>& table = code_.program().procedures;
  table.resize(context_.decls.procedure_count());
  if (&decl != &unreadable_) {
    table[decl.index] = context_.scope().info(static_cast<uint32_t>(block.top));
  }
  context_.leave_procedure();
  close_block(block);
}

bool StatementCompiler::return_statement(TokenCursor& in) {
  if (blocks_.empty() || blocks_.front().kind != BlockKind::procedure) {
    return fail("Return outside a Function or Sub");
  }
  const ProcedureDecl& decl = *blocks_.front().procedure;
  if (!decl.is_function) {
    if (!in.at_end()) return fail("Return in Sub " + decl.name + " takes no value");
  } else {
    if (in.at_end()) return fail("Return in Function " + decl.name + " needs a value");
    Type type = Type::integer;
    if (!compile_expression(in, context_, type, error_)) return false;
    if (type != decl.result()) {
      return fail(
          "Type mismatch: " + decl.name + " returns " + type_name(decl.result()) + ", not " +
          type_name(type) +
          (decl.result() == Type::string ? "" : " (only names ending in $ return strings)"));
    }
  }
  release_locks(0);
  code_.emit(Op::return_procedure);
  return true;
}

// Global a, b$, list$(): the top level's variables and arrays, used from here on.
bool StatementCompiler::global_statement(TokenCursor& in) {
  if (!context_.in_procedure()) return fail("Global belongs inside a Function or Sub");
  const ProcedureDecl& decl = *context_.scope().procedure();
  do {
    if (in.peek().kind != Token::Kind::name || is_keyword(in.peek().text)) {
      return fail("Expected a variable name after Global but found " + describe_token(in.peek()));
    }
    const std::string name = in.next().text;
    const bool array = in.take_symbol("(");
    if (array && !in.take_symbol(")")) return fail("A global array is written " + name + "()");
    if (array && is_builtin_name(name)) return fail(builtin_name_taken(name, "an array"));
    const bool map = !array && in.take_symbol("{");
    if (map && !in.take_symbol("}")) return fail("A global map is written " + name + "{}");
    if (map && is_builtin_name(name)) return fail(builtin_name_taken(name, "a map"));
    for (const Parameter& p : decl.params) {
      if (p.name == name) return fail(name + " is a parameter of " + decl.name);
    }
    if (context_.scope().uses(map ? name + "{}" : name)) {
      return fail("Global " + name + " must come before the first use of " + name + " in " +
                  decl.name);
    }
    if (!array && context_.top.is_array(name)) {
      return fail(name + " is an array: write Global " + name + "()");
    }
    const std::string global = array ? name + "()" : map ? name + "{}" : name;
    context_.scope().globals().insert(global);
    if (array) {
      context_.top.array_slot(name);
    } else if (map) {
      context_.top.array_slot(global);
    } else if (is_string_name(name)) {
      context_.top.string_slot(name);
    } else {
      context_.top.int_slot(name);
    }
  } while (in.take_symbol(","));
  return true;
}

// `name(...)`: an element store when `name` is an array, else a call whose value is dropped.
bool StatementCompiler::call_statement(const std::string& name, TokenCursor& in) {
  if (context_.decls.procedure(name) == nullptr && !is_builtin_name(name) &&
      context_.is_array(name)) {
    return element_store(name, in);
  }
  Type type = Type::integer;
  bool has_value = false;
  if (!compile_call(in, context_, name, true, type, has_value, error_)) return false;
  if (has_value) code_.emit(type == Type::string ? Op::drop_string : Op::drop_int);
  if (in.peek().kind == Token::Kind::symbol && in.peek().text == "=") {
    return fail(name + " is a function, not an array: its value cannot be assigned to");
  }
  return true;
}

}  // namespace sr::zr
