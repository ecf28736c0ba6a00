// What the compiler must know before it compiles a line: the procedures (a call may come
// before the definition) and, for the top level and each procedure, the names that are arrays
// (`a(1)` reads an element where `a` is an array and calls a function otherwise).
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "compiler/builtin_table.h"
#include "compiler/include_expander.h"
#include "compiler/lexer.h"

namespace sr::zr {

class TokenCursor;

enum class ParamKind { integer, string, int_array, string_array, int_map, string_map };

struct Parameter {
  std::string name;  // lower case, with "$" for strings
  ParamKind kind = ParamKind::integer;
};

struct ProcedureDecl {
  std::string name;  // lower case, with "$" for a function that returns a string
  bool is_function = false;
  std::vector<Parameter> params;
  uint32_t index = 0;     // in the program's procedure table
  size_t defined_at = 0;  // the index of the header among the source lines
  Type result() const { return name.ends_with("$") ? Type::string : Type::integer; }
};

// Reads `name(params)` after Function or Sub. Returns false with `error` set.
bool parse_procedure_header(TokenCursor& in, ProcedureDecl& decl, std::string& error);

class Declarations {
 public:
  void collect(const std::vector<SourceLine>& lines);
  const ProcedureDecl* procedure(const std::string& name) const;
  size_t procedure_count() const { return procedures_.size(); }
  // The array names of the top level (procedure "") or of a procedure.
  const std::set<std::string>& arrays(const std::string& procedure) const;

 private:
  void note_arrays(const std::vector<Token>& tokens, const std::string& scope);

  std::map<std::string, ProcedureDecl> procedures_;
  std::map<std::string, std::set<std::string>> arrays_;
  // Names written as `name()` among arguments: arrays unless they name a procedure.
  std::vector<std::pair<std::string, std::string>> passed_;  // scope, name
};

}  // namespace sr::zr
