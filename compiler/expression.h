// Compiles expressions of one line into code, checking the types of every operator and call.
#pragma once

#include <string>
#include <vector>

#include "compiler/builtin_table.h"
#include "compiler/compile_context.h"
#include "compiler/lexer.h"

namespace sr::zr {

bool is_keyword(const std::string& name);
bool is_string_name(const std::string& name);    // names ending in "$" hold strings
std::string describe_token(const Token& token);  // for messages
std::string type_name(Type type);                // "an integer", "a string"

// A cursor over one line's tokens, shared by the statement and expression compilers.
class TokenCursor {
 public:
  explicit TokenCursor(const std::vector<Token>& tokens) : tokens_(tokens) {}
  const Token& peek(size_t ahead = 0) const;
  const Token& next() { return tokens_[pos_ < tokens_.size() - 1 ? pos_++ : pos_]; }
  bool at_end() const { return peek().kind == Token::Kind::end; }
  bool take_symbol(const char* symbol);
  bool take_keyword(const char* keyword);

 private:
  const std::vector<Token>& tokens_;
  size_t pos_ = 0;
};

// Emits code that leaves the expression's value on the stack of its type, and sets `type`.
// Returns false with `error` set.
bool compile_expression(TokenCursor& cursor, CompileContext& context, Type& type,
                        std::string& error);

// Emits the call of the procedure or builtin `name`, whose "(" is next. A Sub has no value
// (`has_value` false) and is refused unless `as_statement`.
bool compile_call(TokenCursor& cursor, CompileContext& context, const std::string& name,
                  bool as_statement, Type& type, bool& has_value, std::string& error);

}  // namespace sr::zr
