#include "compiler/expression.h"

#include <array>
#include <string_view>

namespace sr::zr {
namespace {

constexpr std::string_view kTypeMismatch = "Type mismatch";

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

}  // namespace

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
  ExpressionCompiler(TokenCursor& cursor, CodeBuilder& code, std::string& error)
      : in_(cursor), code_(code), error_(error) {}

  std::optional<Type> logical(int level);  // 0: Or, 1: And

 private:
  std::optional<Type> negation();
  std::optional<Type> comparison();
  std::optional<Type> additive();
  std::optional<Type> term();
  std::optional<Type> unary();
  std::optional<Type> primary();
  std::optional<Type> name_or_call(const Token& name);
  std::optional<Type> call(const std::string& name);
  std::optional<Type> constant(const Token& token);
  std::optional<Type> fail(std::string message) {
    if (error_.empty()) error_ = std::move(message);
    return std::nullopt;
  }
  bool integers(std::optional<Type> a, std::optional<Type> b) {
    return a == Type::integer && b == Type::integer;
  }

  TokenCursor& in_;
  CodeBuilder& code_;
  std::string& error_;
};

// And/Or evaluate their right side only when the left one leaves the result open, so that
// `n <> 0 And 10 / n > 1` is safe; the result is 1 or 0.
std::optional<Type> ExpressionCompiler::logical(int level) {
  const char* keyword = level == 0 ? "or" : "and";
  auto side = [&] { return level == 0 ? logical(1) : negation(); };
  std::optional<Type> left = side();
  if (!left || in_.peek().text != keyword || in_.peek().kind != Token::Kind::name) return left;
  const Op decided_by = level == 0 ? Op::jump_if_true : Op::jump_if_false;
  std::vector<size_t> decided;
  while (in_.take_keyword(keyword)) {
    if (left != Type::integer) return fail(std::string(kTypeMismatch));
    decided.push_back(code_.emit(decided_by));
    left = side();
    if (!left) return left;
  }
  if (left != Type::integer) return fail(std::string(kTypeMismatch));
  decided.push_back(code_.emit(decided_by));
  code_.emit(Op::push_int, level == 0 ? 0 : 1);
  size_t skip = code_.emit(Op::jump);
  for (size_t at : decided) code_.patch(at, code_.here());
  code_.emit(Op::push_int, level == 0 ? 1 : 0);
  code_.patch(skip, code_.here());
  return Type::integer;
}

std::optional<Type> ExpressionCompiler::negation() {
  if (!in_.take_keyword("not")) return comparison();
  std::optional<Type> operand = negation();
  if (!operand) return operand;
  if (operand != Type::integer) return fail(std::string(kTypeMismatch));
  code_.emit(Op::logical_not);
  return Type::integer;
}

std::optional<Type> ExpressionCompiler::comparison() {
  static constexpr std::pair<const char*, Compare> kOps[] = {
      {"=", Compare::eq}, {"<>", Compare::ne}, {"<", Compare::lt},
      {">", Compare::gt}, {"<=", Compare::le}, {">=", Compare::ge}};
  std::optional<Type> left = additive();
  while (left) {
    const Compare* found = nullptr;
    for (const auto& [symbol, compare] : kOps) {
      if (!found && in_.take_symbol(symbol)) found = &compare;
    }
    if (!found) break;
    std::optional<Type> right = additive();
    if (!right) return right;
    if (left != right) return fail(std::string(kTypeMismatch));
    code_.emit(left == Type::integer ? Op::int_compare : Op::string_compare,
               static_cast<int64_t>(*found));
    left = Type::integer;
  }
  return left;
}

std::optional<Type> ExpressionCompiler::additive() {
  std::optional<Type> left = term();
  while (left) {
    bool plus = in_.take_symbol("+");
    if (!plus && !in_.take_symbol("-")) break;
    std::optional<Type> right = term();
    if (!right) return right;
    if (plus && left == Type::string && right == Type::string) {
      code_.emit(Op::concat);
    } else if (integers(left, right)) {
      code_.emit(plus ? Op::add : Op::sub);
    } else {
      return fail(std::string(kTypeMismatch));
    }
  }
  return left;
}

std::optional<Type> ExpressionCompiler::term() {
  std::optional<Type> left = unary();
  while (left) {
    Op op = in_.take_symbol("*")   ? Op::mul
            : in_.take_symbol("/") ? Op::div
            : in_.take_symbol("%") ? Op::mod
                                   : Op::kCount;
    if (op == Op::kCount) break;
    std::optional<Type> right = unary();
    if (!right) return right;
    if (!integers(left, right)) return fail(std::string(kTypeMismatch));
    code_.emit(op);
  }
  return left;
}

std::optional<Type> ExpressionCompiler::unary() {
  if (!in_.take_symbol("-")) return primary();
  // The most negative integer can only be written as a negated literal.
  if (in_.peek().kind == Token::Kind::number && in_.peek().value == (uint64_t{1} << 63)) {
    in_.next();
    code_.emit(Op::push_int, INT64_MIN);
    return Type::integer;
  }
  std::optional<Type> operand = unary();
  if (!operand) return operand;
  if (operand != Type::integer) return fail(std::string(kTypeMismatch));
  code_.emit(Op::negate);
  return Type::integer;
}

std::optional<Type> ExpressionCompiler::primary() {
  const Token& token = in_.next();
  switch (token.kind) {
    case Token::Kind::number:
      if (token.value > static_cast<uint64_t>(INT64_MAX)) return fail("Number too large");
      code_.emit(Op::push_int, static_cast<int64_t>(token.value));
      return Type::integer;
    case Token::Kind::string:
      code_.emit(Op::push_string, code_.string_constant(token.text));
      return Type::string;
    case Token::Kind::constant:
      return constant(token);
    case Token::Kind::name:
      return name_or_call(token);
    case Token::Kind::symbol:
      if (token.text == "(") {
        std::optional<Type> inner = logical(0);
        if (inner && !in_.take_symbol(")")) return fail("Missing ')'");
        return inner;
      }
      [[fallthrough]];
    default:
      return fail("Expected a value but found " + describe_token(token));
  }
}

std::optional<Type> ExpressionCompiler::constant(const Token& token) {
  for (const ConstantValue& c : kConstants) {
    if (c.name != token.text) continue;
    if (c.text != nullptr) {
      code_.emit(Op::push_string, code_.string_constant(c.text));
      return Type::string;
    }
    code_.emit(Op::push_int, c.value);
    return Type::integer;
  }
  return fail("Unknown constant #" + token.text);
}

std::optional<Type> ExpressionCompiler::name_or_call(const Token& name) {
  if (in_.peek().kind == Token::Kind::symbol && in_.peek().text == "(") return call(name.text);
  if (is_keyword(name.text)) return fail("Expected a value but found '" + name.text + "'");
  if (is_string_name(name.text)) {
    code_.emit(Op::load_string, code_.string_slot(name.text));
    return Type::string;
  }
  code_.emit(Op::load_int, code_.int_slot(name.text));
  return Type::integer;
}

std::optional<Type> ExpressionCompiler::call(const std::string& name) {
  std::vector<const BuiltinSignature*> candidates = find_builtins(name);
  if (candidates.empty()) return fail("Unknown function " + name);
  in_.next();  // "("
  std::vector<Type> args;
  if (!in_.take_symbol(")")) {
    do {
      std::optional<Type> arg = logical(0);
      if (!arg) return arg;
      args.push_back(*arg);
    } while (in_.take_symbol(","));
    if (!in_.take_symbol(")")) return fail("Missing ')' after the arguments of " + name);
  }
  for (const BuiltinSignature* s : candidates) {
    if (s->params.size() != args.size()) continue;
    if (s->params != args) return fail(std::string(kTypeMismatch));
    code_.emit(Op::call, static_cast<int64_t>(s->builtin));
    return s->result;
  }
  return fail("Wrong number of arguments for " + name);
}

}  // namespace

bool is_keyword(const std::string& name) {
  static constexpr std::string_view kKeywords[] = {
      "and",  "or",  "not",  "to",    "step", "if",    "elseif",    "else",       "endif", "while",
      "wend", "for", "next", "break", "end",  "write", "writeline", "writeerror", "flush"};
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

std::optional<Type> compile_expression(TokenCursor& cursor, CodeBuilder& code, std::string& error) {
  return ExpressionCompiler(cursor, code, error).logical(0);
}

}  // namespace sr::zr
