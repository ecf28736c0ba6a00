// Dim, ReDim and the assignment of an array element or a map's value.
#include "compiler/statement.h"

namespace sr::zr {
namespace {

// An array's or a map's elements are of the kind its name says.
std::string element_type_mismatch(const std::string& name, Type type) {
  return "Type mismatch: " + name + " holds " +
         (is_string_name(name) ? "strings (its name ends in $)" : "integers (its name has no $)") +
         ", not " + type_name(type);
}

}  // namespace

bool StatementCompiler::dim(TokenCursor& in, bool keep) {
  const std::string keyword = keep ? "ReDim" : "Dim";
  do {
    if (in.peek().kind != Token::Kind::name || is_keyword(in.peek().text)) {
      return fail("Expected an array name after " + keyword + " but found " +
                  describe_token(in.peek()));
    }
    const std::string name = in.next().text;
    if (context_.decls.procedure(name) != nullptr || is_builtin_name(name)) {
      return fail(name + " is the name of a function; an array needs a name of its own");
    }
    if (!in.take_symbol("(")) {
      return fail(keyword + " needs the highest index: " + keyword + " " + name + "(10)");
    }
    if (!context_.is_array(name)) return fail(name + " cannot be an array here");
    Type type = Type::integer;
    if (!compile_expression(in, context_, type, error_)) return false;
    if (type != Type::integer) {
      return fail("Type mismatch: the highest index of " + name + " must be an integer, not " +
                  type_name(type));
    }
    if (!in.take_symbol(")")) return fail("Missing ')' after the highest index of " + name);
    const ArrayRef ref = context_.array(name);
    code_.emit(Op::array_dim, ref.slot, static_cast<int64_t>(ref.scope),
               (ref.strings ? kArrayOfStrings : 0) | (keep ? kArrayKeep : 0));
  } while (in.take_symbol(","));
  return true;
}

bool StatementCompiler::element_store(const std::string& name, TokenCursor& in) {
  in.next();  // "("
  if (in.take_symbol(")")) return fail("An element of " + name + " needs an index");
  Type type = Type::integer;
  if (!compile_expression(in, context_, type, error_)) return false;
  if (type != Type::integer) {
    return fail("Type mismatch: an array index must be an integer, not " + type_name(type));
  }
  if (!in.take_symbol(")")) return fail("Missing ')' after the index of " + name);
  if (!in.take_symbol("=")) return fail("Expected '=' after " + name + "(...)");
  if (!compile_expression(in, context_, type, error_)) return false;
  const bool strings = is_string_name(name);
  if (strings != (type == Type::string)) return fail(element_type_mismatch(name, type));
  const ArrayRef ref = context_.array(name);
  code_.emit(Op::array_store, ref.slot, static_cast<int64_t>(ref.scope),
             ref.strings ? kArrayOfStrings : 0);
  return true;
}

// For Each key$ In map{}: a For loop over a copy of the map's keys, taken when the loop starts,
// in a slot no name can reach; the key variable is set from it at the top of every pass.
bool StatementCompiler::for_each_start(TokenCursor& in) {
  in.next();  // "each"
  Block block = new_block(BlockKind::for_loop);
  block.bound_slot = context_.scope().hidden_int_slots(3);  // bound, step, the key's index
  blocks_.push_back(block);
  Block& b = blocks_.back();
  b.variable = in.next().text;
  if (is_keyword(b.variable) || !is_string_name(b.variable)) {
    return fail("For Each needs a string variable for the keys: For Each key$ In map{}");
  }
  if (!in.take_keyword("in")) return fail("Expected In after For Each " + b.variable);
  const Token& map = in.peek();
  if (map.kind != Token::Kind::name || in.peek(1).text != "{" || in.peek(2).text != "}") {
    return fail("For Each goes through a map, written like ages{} or names${}");
  }
  ArrayRef ref;
  if (!context_.map(in.next().text, ref, error_)) return false;
  in.next();
  in.next();
  const uint32_t keys = context_.scope().array_slot("each " + std::to_string(code_.here()));
  code_.emit(Op::array_push_ref, keys, static_cast<int64_t>(ArrayScope::frame), kArrayOfStrings);
  code_.emit(Op::array_push_ref, ref.slot, static_cast<int64_t>(ref.scope),
             kArrayIsMap | (ref.strings ? kArrayOfStrings : 0));
  code_.emit(Op::call, static_cast<int64_t>(Builtin::keys));
  code_.emit(Op::push_int, 1);
  code_.emit(Op::sub);
  code_.emit(Op::store_int, b.bound_slot);
  code_.emit(Op::push_int, 1);
  code_.emit(Op::store_int, b.bound_slot + 1);
  b.variable_slot = b.bound_slot + 2;
  code_.emit(Op::push_int, 0);
  code_.emit(Op::store_int, b.variable_slot);
  b.exits.push_back(code_.emit(Op::for_enter, 0, b.variable_slot, b.bound_slot));
  b.top = code_.here();
  code_.emit(Op::load_int, b.variable_slot);
  code_.emit(Op::array_load, keys, static_cast<int64_t>(ArrayScope::frame), kArrayOfStrings);
  return context_.store_variable(b.variable, error_);
}

bool StatementCompiler::map_store(const std::string& name, TokenCursor& in) {
  in.next();  // "{"
  if (in.take_symbol("}")) return fail("A value of " + name + " needs a key: " + name + "{key$}");
  Type type = Type::string;
  if (!compile_expression(in, context_, type, error_)) return false;
  if (type != Type::string) {
    return fail("Type mismatch: a map key must be a string, not " + type_name(type));
  }
  if (!in.take_symbol("}")) return fail("Missing '}' after the key of " + name);
  if (!in.take_symbol("=")) return fail("Expected '=' after " + name + "{...}");
  if (!compile_expression(in, context_, type, error_)) return false;
  const bool strings = is_string_name(name);
  if (strings != (type == Type::string)) return fail(element_type_mismatch(name, type));
  ArrayRef ref;
  if (!context_.map(name, ref, error_)) return false;
  code_.emit(Op::map_store, ref.slot, static_cast<int64_t>(ref.scope),
             kArrayIsMap | (strings ? kArrayOfStrings : 0));
  return true;
}

}  // namespace sr::zr
