#include "compiler/statement.h"

namespace sr::zr {
namespace {

const char* block_name(int kind) {
  static const char* const kNames[] = {"If", "While", "For"};
  return kNames[kind];
}

const char* block_closer(int kind) {
  static const char* const kClosers[] = {"EndIf", "Wend", "Next"};
  return kClosers[kind];
}

}  // namespace

std::string StatementCompiler::compile_line(uint32_t line, const std::string& text) {
  line_ = line;
  error_.clear();
  code_.set_line(line);
  std::vector<Token> tokens;
  if (!tokenize_line(text, tokens, error_)) return error_;
  TokenCursor in(tokens);
  if (in.at_end()) return "";
  if (statement(in) && !in.at_end()) {
    fail("Unexpected " + describe_token(in.peek()) + " at the end of the statement");
  }
  return error_;
}

void StatementCompiler::finish(uint32_t last_line, std::vector<CompileError>& errors) {
  for (const Block& block : blocks_) {
    int kind = static_cast<int>(block.kind);
    errors.push_back(
        {block.line, std::string(block_name(kind)) + " without " + block_closer(kind)});
  }
  code_.set_line(last_line);
  code_.emit(Op::push_int, 0);
  code_.emit(Op::end);
}

bool StatementCompiler::fail(std::string message) {
  if (error_.empty()) error_ = std::move(message);
  return false;
}

bool StatementCompiler::statement(TokenCursor& in) {
  const Token& first = in.peek();
  if (first.kind != Token::Kind::name) return fail("A statement cannot begin with this");
  if (is_keyword(first.text)) {
    std::string keyword = in.next().text;
    return keyword_statement(in, keyword);
  }
  return assignment(in);
}

bool StatementCompiler::keyword_statement(TokenCursor& in, const std::string& keyword) {
  if (keyword == "write") return write(in, Channel::out, false);
  if (keyword == "writeline") return write(in, Channel::out_line, true);
  if (keyword == "writeerror") return write(in, Channel::error_line, false);
  if (keyword == "flush") return code_.emit(Op::flush), true;
  if (keyword == "if" || keyword == "elseif" || keyword == "else") return if_branch(in, keyword);
  if (keyword == "endif") return end_if();
  if (keyword == "while") return while_start(in);
  if (keyword == "wend") return wend();
  if (keyword == "for") return for_start(in);
  if (keyword == "next") return for_next(in);
  if (keyword == "break") return loop_break();
  if (keyword == "end") return end(in);
  return fail("'" + keyword + "' cannot begin a statement");
}

bool StatementCompiler::assignment(TokenCursor& in) {
  std::string name = in.next().text;
  if (in.peek().kind == Token::Kind::symbol && in.peek().text == "(") {
    return fail("A function call is not a statement");
  }
  if (!in.take_symbol("=")) return fail("Expected '=' after " + name);
  std::optional<Type> type = compile_expression(in, code_, error_);
  if (!type) return false;
  bool is_string = is_string_name(name);
  if ((*type == Type::string) != is_string) return fail("Type mismatch");
  if (is_string) {
    code_.emit(Op::store_string, code_.string_slot(name));
  } else {
    code_.emit(Op::store_int, code_.int_slot(name));
  }
  return true;
}

bool StatementCompiler::write(TokenCursor& in, Channel channel, bool optional_value) {
  if (optional_value && in.at_end()) return code_.emit(Op::write_newline), true;
  std::optional<Type> type = compile_expression(in, code_, error_);
  if (!type) return false;
  code_.emit(*type == Type::string ? Op::write_string : Op::write_int,
             static_cast<int64_t>(channel));
  return true;
}

bool StatementCompiler::condition(TokenCursor& in) {
  std::optional<Type> type = compile_expression(in, code_, error_);
  if (!type) return false;
  if (*type != Type::integer) return fail("Type mismatch");
  return true;
}

StatementCompiler::Block StatementCompiler::new_block(BlockKind kind) const {
  Block block;
  block.kind = kind;
  block.line = line_;
  return block;
}

StatementCompiler::Block* StatementCompiler::innermost(BlockKind kind) {
  if (blocks_.empty() || blocks_.back().kind != kind) return nullptr;
  return &blocks_.back();
}

void StatementCompiler::close_block(Block& block) {
  if (block.pending != SIZE_MAX) code_.patch(block.pending, code_.here());
  for (size_t at : block.exits) code_.patch(at, code_.here());
  blocks_.pop_back();
}

// If, ElseIf and Else: each branch's failed condition jumps to the next branch, and the end
// of each taken branch jumps past EndIf.
bool StatementCompiler::if_branch(TokenCursor& in, const std::string& keyword) {
  if (keyword == "if") {
    blocks_.push_back(new_block(BlockKind::if_block));
  } else {
    Block* block = innermost(BlockKind::if_block);
    if (block == nullptr) return fail(keyword == "else" ? "Else without If" : "ElseIf without If");
    if (block->saw_else) return fail(keyword == "else" ? "Else after Else" : "ElseIf after Else");
    block->exits.push_back(code_.emit(Op::jump));
    if (block->pending != SIZE_MAX) code_.patch(block->pending, code_.here());
    block->pending = SIZE_MAX;
    block->saw_else = keyword == "else";
    if (block->saw_else) return true;
  }
  if (!condition(in)) return false;
  blocks_.back().pending = code_.emit(Op::jump_if_false);
  return true;
}

bool StatementCompiler::end_if() {
  Block* block = innermost(BlockKind::if_block);
  if (block == nullptr) return fail("EndIf without If");
  close_block(*block);
  return true;
}

bool StatementCompiler::while_start(TokenCursor& in) {
  Block block = new_block(BlockKind::while_loop);
  block.top = code_.here();
  blocks_.push_back(block);
  if (!condition(in)) return false;
  blocks_.back().exits.push_back(code_.emit(Op::jump_if_false));
  return true;
}

bool StatementCompiler::wend() {
  Block* block = innermost(BlockKind::while_loop);
  if (block == nullptr) return fail("Wend without While");
  code_.emit(Op::jump, static_cast<int64_t>(block->top));
  close_block(*block);
  return true;
}

// The bound and step are evaluated once, before the first pass, into slots of their own.
bool StatementCompiler::for_start(TokenCursor& in) {
  Block block = new_block(BlockKind::for_loop);
  block.bound_slot = code_.hidden_int_slots(2);
  blocks_.push_back(block);
  Block& b = blocks_.back();
  if (in.peek().kind != Token::Kind::name || is_keyword(in.peek().text)) {
    return fail("Expected a variable after For");
  }
  b.variable = in.next().text;
  if (is_string_name(b.variable)) return fail("Type mismatch");
  b.variable_slot = code_.int_slot(b.variable);
  if (!in.take_symbol("=")) return fail("Expected '=' after For " + b.variable);
  if (!condition(in)) return false;
  code_.emit(Op::store_int, b.variable_slot);
  if (!in.take_keyword("to")) return fail("Expected To in For");
  if (!condition(in)) return false;
  code_.emit(Op::store_int, b.bound_slot);
  if (in.take_keyword("step")) {
    if (!condition(in)) return false;
  } else {
    code_.emit(Op::push_int, 1);
  }
  code_.emit(Op::store_int, b.bound_slot + 1);
  b.exits.push_back(code_.emit(Op::for_enter, 0, b.variable_slot, b.bound_slot));
  b.top = code_.here();
  return true;
}

bool StatementCompiler::for_next(TokenCursor& in) {
  Block* block = innermost(BlockKind::for_loop);
  if (block == nullptr) return fail("Next without For");
  // A mismatched name still closes the loop, so that one slip gives one message.
  bool matches = in.peek().kind != Token::Kind::name || is_keyword(in.peek().text) ||
                 in.next().text == block->variable;
  std::string variable = block->variable;
  code_.emit(Op::for_next, static_cast<int64_t>(block->top), block->variable_slot,
             block->bound_slot);
  close_block(*block);
  if (!matches) return fail("Next does not match For " + variable);
  return true;
}

bool StatementCompiler::loop_break() {
  for (auto it = blocks_.rbegin(); it != blocks_.rend(); ++it) {
    if (it->kind != BlockKind::if_block) {
      it->exits.push_back(code_.emit(Op::jump));
      return true;
    }
  }
  return fail("Break outside a loop");
}

bool StatementCompiler::end(TokenCursor& in) {
  if (in.at_end()) {
    code_.emit(Op::push_int, 0);
  } else if (!condition(in)) {
    return false;
  }
  code_.emit(Op::end);
  return true;
}

}  // namespace sr::zr
