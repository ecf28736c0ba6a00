// Lock path$ ... EndLock: the block holds an exclusive lock on the lock file, and every way out
// of it that the compiler sees (EndLock, Break, Return) lets the lock go; End and a run-time
// error end the run, which lets all its locks go.
#include "compiler/statement.h"

namespace sr::zr {

// Lock and EndLock are no reserved words, so that pages with a variable, array or procedure of
// that name compile as before: they begin the statement only when no such name is meant.
bool StatementCompiler::is_lock_statement(const std::string& name, TokenCursor& in) {
  if (name != "lock" && name != "endlock") return false;
  if (in.peek().kind == Token::Kind::symbol && in.peek().text == "=") return false;
  return context_.decls.procedure(name) == nullptr && !context_.is_array(name);
}

bool StatementCompiler::lock_start(TokenCursor& in) {
  blocks_.push_back(new_block(BlockKind::lock_block));
  if (in.at_end()) return fail("Lock needs the path of its lock file");
  Type type = Type::integer;
  if (!compile_expression(in, context_, type, error_)) return false;
  if (type != Type::string) {
    return fail("Type mismatch: the lock file of Lock must be a string, not " + type_name(type));
  }
  code_.emit(Op::lock_take);
  return true;
}

bool StatementCompiler::lock_end() {
  Block* block = innermost(BlockKind::lock_block);
  if (block == nullptr) return fail("EndLock without Lock");
  code_.emit(Op::lock_release, 1);
  close_block(*block);
  return true;
}

// Lets go of the Lock blocks open from blocks_[from] inwards, for a jump out of them.
void StatementCompiler::release_locks(size_t from) {
  int64_t count = 0;
  for (size_t i = from; i < blocks_.size(); ++i) {
    if (blocks_[i].kind == BlockKind::lock_block) ++count;
  }
  if (count > 0) code_.emit(Op::lock_release, count);
}

}  // namespace sr::zr
