// Compiles statements line by line and keeps the open If and loop blocks.
#pragma once

#include <string>
#include <vector>

#include "compiler/code_builder.h"
#include "compiler/compile_program.h"
#include "compiler/expression.h"

namespace sr::zr {

class StatementCompiler {
 public:
  // Returns the line's error message, or "" when it compiled.
  std::string compile_line(uint32_t line, const std::string& text);
  // Reports blocks left open and ends the program's code.
  void finish(uint32_t last_line, std::vector<CompileError>& errors);
  const Program& program() const { return code_.program(); }

 private:
  enum class BlockKind { if_block, while_loop, for_loop };
  struct Block {
    BlockKind kind = BlockKind::if_block;
    uint32_t line = 0;
    std::vector<size_t> exits;  // jumps to the block's end (If branches, Break, loop exit)
    size_t pending = SIZE_MAX;  // the failed-condition jump of the current If branch
    bool saw_else = false;
    size_t top = 0;        // loops: the first instruction of the body or condition
    std::string variable;  // For: the loop variable's name
    uint32_t variable_slot = 0;
    uint32_t bound_slot = 0;  // For: bound, then step
  };

  bool statement(TokenCursor& in);
  bool keyword_statement(TokenCursor& in, const std::string& keyword);
  bool assignment(TokenCursor& in);
  bool write(TokenCursor& in, Channel channel, bool optional_value);
  bool condition(TokenCursor& in);
  bool if_branch(TokenCursor& in, const std::string& keyword);
  bool end_if();
  bool while_start(TokenCursor& in);
  bool wend();
  bool for_start(TokenCursor& in);
  bool for_next(TokenCursor& in);
  bool loop_break();
  bool end(TokenCursor& in);
  Block new_block(BlockKind kind) const;
  Block* innermost(BlockKind kind);
  void close_block(Block& block);
  bool fail(std::string message);

  CodeBuilder code_;
  std::vector<Block> blocks_;
  uint32_t line_ = 0;
  std::string error_;
};

}  // namespace sr::zr
