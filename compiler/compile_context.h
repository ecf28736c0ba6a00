// The state that the statement and expression compilers share: the code being built, the
// declarations found before compiling, and the variables of the top level and of the procedure
// being compiled, with the rules that decide which one a name means.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>

#include "compiler/code_builder.h"
#include "compiler/declarations.h"

namespace sr::zr {

// The slots of one frame: the top level's or a procedure's.
class Scope {
 public:
  Scope(const ProcedureDecl* procedure, const std::set<std::string>& arrays)
      : procedure_(procedure), arrays_(arrays) {}

  const ProcedureDecl* procedure() const { return procedure_; }
  bool is_array(const std::string& name) const { return arrays_.count(name) != 0; }
  bool uses(const std::string& name) const;  // has a variable or array of that name

  uint32_t int_slot(const std::string& name) { return slot(ints_, int_count_, name); }
  uint32_t string_slot(const std::string& name) { return slot(strings_, string_count_, name); }
  uint32_t array_slot(const std::string& name) { return slot(arrays_used_, array_count_, name); }
  uint32_t hidden_int_slots(uint32_t count);  // slots no name can reach

  // The names declared Global here; arrays as "name()".
  std::set<std::string>& globals() { return globals_; }
  const std::set<std::string>& globals() const { return globals_; }

  ProcedureInfo info(uint32_t entry) const {
    return {entry, int_count_, string_count_, array_count_};
  }

 private:
  static uint32_t slot(std::unordered_map<std::string, uint32_t>& slots, uint32_t& count,
                       const std::string& name);

  const ProcedureDecl* procedure_;
  const std::set<std::string>& arrays_;
  std::unordered_map<std::string, uint32_t> ints_, strings_, arrays_used_;
  uint32_t int_count_ = 0, string_count_ = 0, array_count_ = 0;
  std::set<std::string> globals_;
};

struct ArrayRef {
  uint32_t slot = 0;
  ArrayScope scope = ArrayScope::frame;
  bool strings = false;
};

class CompileContext {
 public:
  explicit CompileContext(const Declarations& declarations)
      : decls(declarations), top(nullptr, declarations.arrays("")) {}

  Scope& scope() { return procedure_ ? *procedure_ : top; }
  bool in_procedure() const { return procedure_ != nullptr; }
  void enter_procedure(const ProcedureDecl& decl);
  void leave_procedure() { procedure_.reset(); }

  // True when `name` means an array here; false for a plain variable.
  bool is_array(const std::string& name);
  // Emits the load or store of the variable `name`; false with `error` set when it is an array.
  bool load_variable(const std::string& name, std::string& error);
  bool store_variable(const std::string& name, std::string& error);
  ArrayRef array(const std::string& name);
  // A map lives in an array slot of its own, apart from any array's; false with `error` set
  // when `name` is an array's, a procedure's or a built-in function's.
  bool map(const std::string& name, ArrayRef& ref, std::string& error);
  // The loop variable of a For: its slot, and whether it is the top level's.
  uint32_t loop_variable(const std::string& name, bool& global);

  CodeBuilder code;
  const Declarations& decls;
  Scope top;

 private:
  bool reaches_global(const std::string& name) const;
  bool not_an_array(const std::string& name, std::string& error);
  // The four forms of one access to a variable: local or global, integer or string.
  struct VariableOps {
    Op local_int, local_string, global_int, global_string;
  };
  bool emit_variable(const std::string& name, const VariableOps& ops, std::string& error);

  std::unique_ptr<Scope> procedure_;
};

}  // namespace sr::zr
