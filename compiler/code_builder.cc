#include "compiler/code_builder.h"

namespace sr::zr {

size_t CodeBuilder::emit(Op op, int64_t arg, int64_t arg2, int64_t arg3) {
  program_.code.push_back(Instruction{op, arg, arg2, arg3, line_});
  return program_.code.size() - 1;
}

int64_t CodeBuilder::string_constant(const std::string& text) {
  auto [it, added] = constants_.try_emplace(text, static_cast<int64_t>(program_.strings.size()));
  if (added) program_.strings.push_back(text);
  return it->second;
}

}  // namespace sr::zr
