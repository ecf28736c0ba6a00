#include "compiler/compile_context.h"

namespace sr::zr {

uint32_t Scope::slot(std::unordered_map<std::string, uint32_t>& slots, uint32_t& count,
                     const std::string& name) {
  auto [it, added] = slots.try_emplace(name, count);
  if (added) ++count;
  return it->second;
}

bool Scope::uses(const std::string& name) const {
  return ints_.count(name) != 0 || strings_.count(name) != 0 || arrays_used_.count(name) != 0;
}

uint32_t Scope::hidden_int_slots(uint32_t count) {
  uint32_t first = int_count_;
  int_count_ += count;
  return first;
}

void CompileContext::enter_procedure(const ProcedureDecl& decl) {
  procedure_ = std::make_unique<Scope>(&decl, decls.arrays(decl.name));
}

bool CompileContext::reaches_global(const std::string& name) const {
  return procedure_ && procedure_->globals().count(name) != 0;
}

bool CompileContext::is_array(const std::string& name) {
  return reaches_global(name + "()") || scope().is_array(name);
}

bool CompileContext::not_an_array(const std::string& name, std::string& error) {
  if (!is_array(name)) return true;
  error = name + " is an array: write " + name + "(index) for one of its elements";
  return false;
}

bool CompileContext::load_variable(const std::string& name, std::string& error) {
  return emit_variable(
      name, {Op::load_int, Op::load_string, Op::load_global_int, Op::load_global_string}, error);
}

bool CompileContext::store_variable(const std::string& name, std::string& error) {
  return emit_variable(
      name, {Op::store_int, Op::store_string, Op::store_global_int, Op::store_global_string},
      error);
}

bool CompileContext::emit_variable(const std::string& name, const VariableOps& ops,
                                   std::string& error) {
  if (!not_an_array(name, error)) return false;
  const bool text = name.ends_with("$");
  if (reaches_global(name)) {
    code.emit(text ? ops.global_string : ops.global_int,
              text ? top.string_slot(name) : top.int_slot(name));
  } else {
    code.emit(text ? ops.local_string : ops.local_int,
              text ? scope().string_slot(name) : scope().int_slot(name));
  }
  return true;
}

ArrayRef CompileContext::array(const std::string& name) {
  ArrayRef ref;
  ref.strings = name.ends_with("$");
  if (reaches_global(name + "()")) {
    ref.scope = ArrayScope::global;
    ref.slot = top.array_slot(name);
  } else {
    ref.slot = scope().array_slot(name);
  }
  return ref;
}

bool CompileContext::map(const std::string& name, ArrayRef& ref, std::string& error) {
  if (is_array(name) || (in_procedure() && top.is_array(name))) {
    error = name + " is an array: a map needs a name of its own";
  } else if (decls.procedure(name) != nullptr) {
    error = name + " is the name of a procedure; a map needs a name of its own";
  } else if (is_builtin_name(name)) {
    error = builtin_name_taken(name, "a map");
  } else {
    ref = ArrayRef{};
    ref.strings = name.ends_with("$");
    const std::string slot_name = name + "{}";
    if (reaches_global(slot_name)) {
      ref.scope = ArrayScope::global;
      ref.slot = top.array_slot(slot_name);
    } else {
      ref.slot = scope().array_slot(slot_name);
    }
    return true;
  }
  return false;
}

uint32_t CompileContext::loop_variable(const std::string& name, bool& global) {
  global = reaches_global(name);
  return global ? top.int_slot(name) : scope().int_slot(name);
}

}  // namespace sr::zr
