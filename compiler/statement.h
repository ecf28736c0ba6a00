// Compiles statements line by line and keeps the open blocks: If, loops, Lock and the
// procedure being defined.
#pragma once

#include <string>
#include <vector>

#include "compiler/compile_context.h"
#include "compiler/compile_program.h"
#include "compiler/expression.h"
#include "compiler/include_expander.h"

namespace sr::zr {

class StatementCompiler {
 public:
  explicit StatementCompiler(const Declarations& declarations) : context_(declarations) {}

  // Compiles the line at `index` of the expanded source; an error goes to errors().
  void compile(const SourceLine& line, size_t index);
  // Reports blocks left open and ends the program's code.
  void finish(uint32_t last_line);
  const std::vector<CompileError>& errors() const { return errors_; }
  Program& program() { return context_.code.program(); }

 private:
  enum class BlockKind { if_block, while_loop, for_loop, lock_block, procedure };
  struct Block {
    BlockKind kind = BlockKind::if_block;
    uint32_t line = 0;
    std::string where;          // the line's place in an included file, as for errors
    size_t order = 0;           // the line's index among the expanded source lines
    std::vector<size_t> exits;  // jumps to the block's end (If branches, Break, loop exit)
    size_t pending = SIZE_MAX;  // the failed-condition jump of the current If branch
    bool saw_else = false;
    size_t top = 0;        // loops: the first instruction of the body or condition
    std::string variable;  // For: the loop variable's name
    uint32_t variable_slot = 0;
    bool variable_global = false;
    uint32_t bound_slot = 0;  // For: bound, then step
    const ProcedureDecl* procedure = nullptr;
  };

  bool statement(TokenCursor& in);
  bool keyword_statement(TokenCursor& in, const std::string& keyword);
  bool assignment(const std::string& name, TokenCursor& in);
  bool write(TokenCursor& in, Channel channel, bool optional_value);
  bool condition(TokenCursor& in, const char* what = "a condition");
  bool if_branch(TokenCursor& in, const std::string& keyword);
  bool end_if();
  bool while_start(TokenCursor& in);
  bool wend();
  bool for_start(TokenCursor& in);
  bool for_each_start(TokenCursor& in);
  bool for_next(TokenCursor& in);
  bool loop_break();
  bool end(TokenCursor& in);
  // Lock ... EndLock.
  bool is_lock_statement(const std::string& name, TokenCursor& in);
  bool lock_start(TokenCursor& in);
  bool lock_end();
  void release_locks(size_t from);
  // Procedures (procedure_statements.cc).
  bool procedure_start(TokenCursor& in, bool is_function);
  bool procedure_end(bool is_function);
  void close_procedure(Block& block);
  bool return_statement(TokenCursor& in);
  bool global_statement(TokenCursor& in);
  bool call_statement(const std::string& name, TokenCursor& in);
  // Arrays (array_statements.cc).
  bool dim(TokenCursor& in, bool keep);
  bool element_store(const std::string& name, TokenCursor& in);
  bool map_store(const std::string& name, TokenCursor& in);
  // Includes: a file must close what it opens.
  void include_begin();
  void include_end();

  Block new_block(BlockKind kind) const;
  Block* innermost(BlockKind kind);
  void close_block(Block& block);
  void report_unclosed(size_t from);
  void add_error(uint32_t line, size_t order, const std::string& where, const std::string& message);
  bool fail(std::string message);

  CompileContext context_;
  CodeBuilder& code_ = context_.code;
  std::vector<Block> blocks_;
  std::vector<size_t> include_marks_;
  uint32_t line_ = 0;
  std::string where_;
  size_t index_ = 0;
  std::string error_;
  std::vector<CompileError> errors_;
  ProcedureDecl unreadable_;  // stands in for a procedure whose header has an error
};

}  // namespace sr::zr
