#include "compiler/statement.h"

namespace sr::zr {
namespace {

std::string opener(bool procedure, bool is_function, int kind) {
  static const char* const kNames[] = {"If", "While", "For", "Lock"};
  if (procedure) return is_function ? "Function" : "Sub";
  return kNames[kind];
}

std::string closer(bool procedure, bool is_function, int kind) {
  static const char* const kClosers[] = {"EndIf", "Wend", "Next", "EndLock"};
  if (procedure) return is_function ? "EndFunction" : "EndSub";
  return kClosers[kind];
}

}  // namespace

void StatementCompiler::compile(const SourceLine& line, size_t index) {
  line_ = line.line;
  where_ = line.where;
  index_ = index;
  error_.clear();
  code_.set_line(line.run_line);
  if (line.kind == SourceLine::Kind::include_begin) return include_begin();
  if (line.kind == SourceLine::Kind::include_end) return include_end();
  std::vector<Token> tokens;
  if (!tokenize_line(line.text, tokens, error_)) {
    add_error(line_, index_, where_, error_);
    return;
  }
  TokenCursor in(tokens);
  if (in.at_end()) return;
  if (statement(in) && !in.at_end()) {
    fail("Unexpected " + describe_token(in.peek()) + " at the end of the statement");
  }
  if (!error_.empty()) add_error(line_, index_, where_, error_);
}

void StatementCompiler::add_error(uint32_t line, size_t order, const std::string& where,
                                  const std::string& message) {
  errors_.push_back({line, where + message, order});
}

void StatementCompiler::report_unclosed(size_t from) {
  while (blocks_.size() > from) {
    Block& block = blocks_.back();
    const bool procedure = block.kind == BlockKind::procedure;
    const bool function = procedure && block.procedure->is_function;
    const int kind = static_cast<int>(block.kind);
    add_error(block.line, block.order, block.where,
              opener(procedure, function, kind) + " without " + closer(procedure, function, kind));
    if (procedure) {
      close_procedure(block);
    } else {
      close_block(block);
    }
  }
}

void StatementCompiler::finish(uint32_t last_line) {
  report_unclosed(0);
  code_.set_line(last_line);
  code_.emit(Op::push_int, 0);
  code_.emit(Op::end);
  Program& program = code_.program();
  const ProcedureInfo top = context_.top.info(0);
  program.int_slots = top.int_slots;
  program.string_slots = top.string_slots;
  program.array_slots = top.array_slots;
}

bool StatementCompiler::fail(std::string message) {
  if (error_.empty()) error_ = std::move(message);
  return false;
}

bool StatementCompiler::statement(TokenCursor& in) {
  const Token& first = in.peek();
  if (first.kind != Token::Kind::name) {
    return fail("A statement cannot begin with " + describe_token(first));
  }
  const std::string name = in.next().text;
  if (is_keyword(name)) return keyword_statement(in, name);
  if (is_lock_statement(name, in)) return name == "lock" ? lock_start(in) : lock_end();
  if (in.take_symbol("=")) return assignment(name, in);
  if (in.peek().kind == Token::Kind::symbol && in.peek().text == "(") {
    return call_statement(name, in);
  }
  if (in.peek().kind == Token::Kind::symbol && in.peek().text == "{") return map_store(name, in);
  return fail("Unknown statement '" + name + "'");
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
  if (keyword == "function" || keyword == "sub") return procedure_start(in, keyword == "function");
  if (keyword == "endfunction" || keyword == "endsub") {
    return procedure_end(keyword == "endfunction");
  }
  if (keyword == "return") return return_statement(in);
  if (keyword == "global") return global_statement(in);
  if (keyword == "dim" || keyword == "redim") return dim(in, keyword == "redim");
  if (keyword == "include") return fail("Include needs one file name in double quotes");
  return fail("'" + keyword + "' cannot begin a statement");
}

namespace {

// In `s$ = s$ + ...` the variable's old text is read once and then replaced: it is moved onto
// the stack instead of copied, so that a page built piece by piece in a variable costs time in
// proportion to its length, not its square. Only where nothing else can read the variable in
// between: no other load of it and no procedure call, as a procedure may read a global. A run
// that fails in between ends, so the emptied variable is never seen.
void take_instead_of_copy(Program& program, size_t start) {
  std::vector<Instruction>& code = program.code;
  const Instruction& store = code.back();
  const Op load = store.op == Op::store_string          ? Op::load_string
                  : store.op == Op::store_global_string ? Op::load_global_string
                                                        : Op::kCount;
  if (load == Op::kCount || code.size() < start + 2) return;
  if (code[start].op != load || code[start].arg != store.arg) return;
  const auto scope =
      static_cast<int64_t>(load == Op::load_string ? ArrayScope::frame : ArrayScope::global);
  for (size_t i = start + 1; i + 1 < code.size(); ++i) {
    if (code[i].op == Op::call_procedure) return;
    if (code[i].op == load && code[i].arg == store.arg) return;
    if (code[i].op == Op::call_on_string && code[i].arg2 == store.arg && code[i].arg3 == scope) {
      return;
    }
  }
  code[start].op = load == Op::load_string ? Op::take_string : Op::take_global_string;
}

}  // namespace

bool StatementCompiler::assignment(const std::string& name, TokenCursor& in) {
  Type type = Type::integer;
  const size_t start = code_.here();
  if (!compile_expression(in, context_, type, error_)) return false;
  if (is_string_name(name) && type != Type::string) {
    return fail("Type mismatch: " + name + " holds a string (its name ends in $), not " +
                type_name(type) + "; Str$ turns a number into text");
  }
  if (!is_string_name(name) && type != Type::integer) {
    return fail("Type mismatch: " + name + " holds an integer (only names ending in $ hold " +
                "strings), not " + type_name(type));
  }
  if (!context_.store_variable(name, error_)) return false;
  take_instead_of_copy(code_.program(), start);
  return true;
}

bool StatementCompiler::write(TokenCursor& in, Channel channel, bool optional_value) {
  if (optional_value && in.at_end()) return code_.emit(Op::write_newline), true;
  Type type = Type::integer;
  if (!compile_expression(in, context_, type, error_)) return false;
  code_.emit(type == Type::string ? Op::write_string : Op::write_int,
             static_cast<int64_t>(channel));
  return true;
}

bool StatementCompiler::condition(TokenCursor& in, const char* what) {
  Type type = Type::integer;
  if (!compile_expression(in, context_, type, error_)) return false;
  if (type != Type::integer) {
    return fail(std::string("Type mismatch: ") + what + " must be an integer, not " +
                type_name(type));
  }
  return true;
}

StatementCompiler::Block StatementCompiler::new_block(BlockKind kind) const {
  Block block;
  block.kind = kind;
  block.line = line_;
  block.where = where_;
  block.order = index_;
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
  if (in.peek().text == "each" && in.peek(1).kind == Token::Kind::name) return for_each_start(in);
  Block block = new_block(BlockKind::for_loop);
  block.bound_slot = context_.scope().hidden_int_slots(2);
  blocks_.push_back(block);
  Block& b = blocks_.back();
  if (in.peek().kind != Token::Kind::name || is_keyword(in.peek().text)) {
    return fail("Expected a variable after For");
  }
  b.variable = in.next().text;
  if (is_string_name(b.variable)) {
    return fail("Type mismatch: the variable of a For loop must be an integer, not " + b.variable +
                " (names ending in $ hold strings)");
  }
  if (context_.is_array(b.variable)) return fail(b.variable + " is an array, not a variable");
  b.variable_slot = context_.loop_variable(b.variable, b.variable_global);
  if (!in.take_symbol("=")) return fail("Expected '=' after For " + b.variable);
  if (!condition(in, "the start of a For loop")) return false;
  code_.emit(b.variable_global ? Op::store_global_int : Op::store_int, b.variable_slot);
  if (!in.take_keyword("to")) return fail("Expected To in For");
  if (!condition(in, "the bound of a For loop")) return false;
  code_.emit(Op::store_int, b.bound_slot);
  if (in.take_keyword("step")) {
    if (!condition(in, "the step of a For loop")) return false;
  } else {
    code_.emit(Op::push_int, 1);
  }
  code_.emit(Op::store_int, b.bound_slot + 1);
  b.exits.push_back(code_.emit(b.variable_global ? Op::for_enter_global : Op::for_enter, 0,
                               b.variable_slot, b.bound_slot));
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
  code_.emit(block->variable_global ? Op::for_next_global : Op::for_next,
             static_cast<int64_t>(block->top), block->variable_slot, block->bound_slot);
  close_block(*block);
  if (!matches) return fail("Next does not match For " + variable);
  return true;
}

bool StatementCompiler::loop_break() {
  for (auto it = blocks_.rbegin(); it != blocks_.rend(); ++it) {
    if (it->kind == BlockKind::procedure) break;
    if (it->kind == BlockKind::while_loop || it->kind == BlockKind::for_loop) {
      release_locks(static_cast<size_t>(blocks_.rend() - it));
      it->exits.push_back(code_.emit(Op::jump));
      return true;
    }
  }
  return fail("Break outside a loop");
}

bool StatementCompiler::end(TokenCursor& in) {
  if (in.at_end()) {
    code_.emit(Op::push_int, 0);
  } else if (!condition(in, "the exit code of End")) {
    return false;
  }
  code_.emit(Op::end);
  return true;
}

void StatementCompiler::include_begin() {
  if (!blocks_.empty()) {
    const Block& open = blocks_.back();
    const bool procedure = open.kind == BlockKind::procedure;
    add_error(line_, index_, where_,
              "Include belongs at the top level, not inside " +
                  opener(procedure, procedure && open.procedure->is_function,
                         static_cast<int>(open.kind)));
  }
  include_marks_.push_back(blocks_.size());
}

void StatementCompiler::include_end() {
  report_unclosed(include_marks_.back());
  include_marks_.pop_back();
}

}  // namespace sr::zr
