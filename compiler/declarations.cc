#include "compiler/declarations.h"

#include "compiler/expression.h"

namespace sr::zr {
namespace {

bool is_symbol(const Token& token, const char* symbol) {
  return token.kind == Token::Kind::symbol && token.text == symbol;
}

bool parse_parameter(TokenCursor& in, Parameter& param, std::string& error) {
  if (in.peek().kind != Token::Kind::name || is_keyword(in.peek().text)) {
    error = "Expected a parameter name but found " + describe_token(in.peek());
    return false;
  }
  param.name = in.next().text;
  const bool text = is_string_name(param.name);
  param.kind = text ? ParamKind::string : ParamKind::integer;
  if (in.take_symbol("(")) {
    if (!in.take_symbol(")")) {
      error = "An array parameter is written " + param.name + "()";
      return false;
    }
    param.kind = text ? ParamKind::string_array : ParamKind::int_array;
  } else if (in.take_symbol("{")) {
    if (!in.take_symbol("}")) {
      error = "A map parameter is written " + param.name + "{}";
      return false;
    }
    param.kind = text ? ParamKind::string_map : ParamKind::int_map;
  }
  return true;
}

}  // namespace

bool parse_procedure_header(TokenCursor& in, ProcedureDecl& decl, std::string& error) {
  if (in.peek().kind != Token::Kind::name || is_keyword(in.peek().text)) {
    error = "Expected a name after " + std::string(decl.is_function ? "Function" : "Sub") +
            " but found " + describe_token(in.peek());
    return false;
  }
  decl.name = in.next().text;
  if (!decl.is_function && is_string_name(decl.name)) {
    error = "A Sub returns no value, so its name cannot end in $";
    return false;
  }
  if (!in.take_symbol("(")) {
    error = "Expected '(' after " + decl.name;
    return false;
  }
  if (in.take_symbol(")")) return true;
  do {
    Parameter param;
    if (!parse_parameter(in, param, error)) return false;
    for (const Parameter& p : decl.params) {
      if (p.name == param.name) {
        error = "The parameter " + param.name + " appears twice";
        return false;
      }
    }
    decl.params.push_back(param);
  } while (in.take_symbol(","));
  if (!in.take_symbol(")")) {
    error = "Expected ')' after the parameters of " + decl.name;
    return false;
  }
  return true;
}

void Declarations::collect(const std::vector<SourceLine>& lines) {
  std::string scope;  // "" at the top level
  std::vector<Token> tokens;
  std::string error;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].kind != SourceLine::Kind::code) continue;
    if (!tokenize_line(lines[i].text, tokens, error) || tokens[0].kind != Token::Kind::name) {
      continue;
    }
    const std::string& first = tokens[0].text;
    if (first == "function" || first == "sub") {
      TokenCursor in(tokens);
      in.next();
      ProcedureDecl decl;
      decl.is_function = first == "function";
      decl.defined_at = i;
      if (!parse_procedure_header(in, decl, error)) continue;
      scope = decl.name;
      for (const Parameter& p : decl.params) {
        if (p.kind == ParamKind::int_array || p.kind == ParamKind::string_array) {
          arrays_[scope].insert(p.name);
        }
      }
      decl.index = static_cast<uint32_t>(procedures_.size());
      procedures_.try_emplace(decl.name, decl);  // the first definition; a second is an error
    } else if (first == "endfunction" || first == "endsub") {
      scope.clear();
    } else {
      note_arrays(tokens, scope);
    }
  }
  for (const auto& [in_scope, name] : passed_) {
    if (procedures_.count(name) == 0 && !is_builtin_name(name)) arrays_[in_scope].insert(name);
  }
}

// Dim and ReDim name arrays, `Global list()` names one of the top level, and `name()` as an
// argument passes one.
void Declarations::note_arrays(const std::vector<Token>& tokens, const std::string& scope) {
  const std::string& first = tokens[0].text;
  const bool dims = first == "dim" || first == "redim";
  const bool global = first == "global";
  for (size_t i = 1; i + 1 < tokens.size(); ++i) {
    if (tokens[i].kind != Token::Kind::name || !is_symbol(tokens[i + 1], "(")) continue;
    const bool empty = i + 2 < tokens.size() && is_symbol(tokens[i + 2], ")");
    const bool listed = is_symbol(tokens[i - 1], ",") || i == 1;
    if ((dims && listed) || (global && empty)) {
      arrays_[scope].insert(tokens[i].text);
      if (global) arrays_[""].insert(tokens[i].text);
    } else if (empty && (is_symbol(tokens[i - 1], "(") || is_symbol(tokens[i - 1], ","))) {
      passed_.emplace_back(scope, tokens[i].text);
    }
  }
}

const ProcedureDecl* Declarations::procedure(const std::string& name) const {
  auto it = procedures_.find(name);
  return it == procedures_.end() ? nullptr : &it->second;
}

const std::set<std::string>& Declarations::arrays(const std::string& procedure) const {
  static const std::set<std::string> kNone;
  auto it = arrays_.find(procedure);
  return it == arrays_.end() ? kNone : it->second;
}

}  // namespace sr::zr
