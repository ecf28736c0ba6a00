// Compiles expressions of one line into code, checking the types of every operator and call.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "compiler/builtin_table.h"
#include "compiler/code_builder.h"
#include "compiler/lexer.h"

namespace sr::zr {

bool is_keyword(const std::string& name);
bool is_string_name(const std::string& name);    // names ending in "$" hold strings
std::string describe_token(const Token& token);  // for messages

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

// Emits code that leaves the expression's value on the stack of its type. Returns the type, or
// nothing with `error` set.
std::optional<Type> compile_expression(TokenCursor& cursor, CodeBuilder& code, std::string& error);

}  // namespace sr::zr
