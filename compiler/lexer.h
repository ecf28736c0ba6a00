// Turns one source line into tokens; a ";" outside a string ends the line.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sr::zr {

struct Token {
  enum class Kind { number, string, name, constant, symbol, end };
  Kind kind = Kind::end;
  std::string text;    // names and constants lower-cased; symbols as written; string contents
  uint64_t value = 0;  // numbers: the magnitude, at most 2^63 (only valid after a minus)
};

// Returns false and sets `error` when the line holds something that is no token.
bool tokenize_line(std::string_view line, std::vector<Token>& tokens, std::string& error);

}  // namespace sr::zr
