#include "compiler/lexer.h"

namespace sr::zr {
namespace {

bool is_name_start(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}
bool is_digit(char c) {
  return c >= '0' && c <= '9';
}
bool is_name_char(char c) {
  return is_name_start(c) || is_digit(c);
}
char lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Reads a name with an optional trailing "$", lower-cased since names ignore case.
std::string read_name(std::string_view line, size_t& i) {
  std::string name;
  while (i < line.size() && is_name_char(line[i])) name.push_back(lower(line[i++]));
  if (i < line.size() && line[i] == '$') name.push_back(line[i++]);
  return name;
}

bool read_number(std::string_view line, size_t& i, Token& token, std::string& error) {
  constexpr uint64_t kLimit = uint64_t{1} << 63;
  uint64_t value = 0;
  bool too_large = false;
  while (i < line.size() && is_digit(line[i])) {
    uint64_t digit = static_cast<uint64_t>(line[i++] - '0');
    if (value > (kLimit - digit) / 10) too_large = true;
    if (!too_large) value = value * 10 + digit;
  }
  if (too_large) {
    error = "Number too large";
    return false;
  }
  if (i < line.size() && is_name_start(line[i])) {
    error = "Unexpected character '" + std::string(1, line[i]) + "' after a number";
    return false;
  }
  token.kind = Token::Kind::number;
  token.value = value;
  return true;
}

bool read_symbol(std::string_view line, size_t& i, Token& token) {
  static constexpr std::string_view kTwo[] = {"<>", "<=", ">="};
  for (std::string_view two : kTwo) {
    if (line.substr(i, 2) == two) {
      token.text = two;
      i += 2;
      token.kind = Token::Kind::symbol;
      return true;
    }
  }
  if (std::string_view("=<>+-*/%(),{}").find(line[i]) == std::string_view::npos) return false;
  token.text = std::string(1, line[i++]);
  token.kind = Token::Kind::symbol;
  return true;
}

}  // namespace

bool tokenize_line(std::string_view line, std::vector<Token>& tokens, std::string& error) {
  tokens.clear();
  size_t i = 0;
  while (i < line.size()) {
    char c = line[i];
    if (c == ' ' || c == '\t') {
      ++i;
      continue;
    }
    if (c == ';') break;
    Token token;
    if (c == '"') {
      size_t close = line.find('"', i + 1);
      if (close == std::string_view::npos) {
        error = "String literal without closing quote";
        return false;
      }
      token.kind = Token::Kind::string;
      token.text = line.substr(i + 1, close - i - 1);
      i = close + 1;
    } else if (is_digit(c)) {
      if (!read_number(line, i, token, error)) return false;
    } else if (is_name_start(c)) {
      token.kind = Token::Kind::name;
      token.text = read_name(line, i);
    } else if (c == '#' && i + 1 < line.size() && is_name_start(line[i + 1])) {
      ++i;
      token.kind = Token::Kind::constant;
      token.text = read_name(line, i);
    } else if (!read_symbol(line, i, token)) {
      error = "Unexpected character '" + std::string(1, c) + "'";
      return false;
    }
    tokens.push_back(std::move(token));
  }
  tokens.push_back(Token{});
  return true;
}

}  // namespace sr::zr
