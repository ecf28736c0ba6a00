#include <cstdio>
#include <string>

#include "runtime/datetime/datetime.h"

namespace sr {
namespace {

enum class Field { year, short_year, month, day, hour, minute, second };

struct Token {
  std::string_view text;
  Field field;
};

// Tried in this order after a "%": "yyyy" wins over "yy".
constexpr Token kTokens[] = {
    {"yyyy", Field::year}, {"yy", Field::short_year}, {"mm", Field::month},  {"dd", Field::day},
    {"hh", Field::hour},   {"ii", Field::minute},     {"ss", Field::second},
};

char lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool starts_with_token(std::string_view text, std::string_view token) {
  if (text.size() < token.size()) return false;
  for (std::size_t i = 0; i < token.size(); ++i) {
    if (lower(text[i]) != token[i]) return false;
  }
  return true;
}

// The first token that `text` starts with, ignoring ASCII case; null when none.
const Token* token_at(std::string_view text) {
  for (const Token& token : kTokens) {
    if (starts_with_token(text, token.text)) return &token;
  }
  return nullptr;
}

void append_field(std::string& out, Field field, DateValue date) {
  char digits[16];
  switch (field) {
    case Field::year:
      std::snprintf(digits, sizeof digits, "%d", date_year(date));
      break;
    case Field::short_year:
      std::snprintf(digits, sizeof digits, "%02d", date_year(date) % 100);
      break;
    case Field::month:
      std::snprintf(digits, sizeof digits, "%02d", date_month(date));
      break;
    case Field::day:
      std::snprintf(digits, sizeof digits, "%02d", date_day(date));
      break;
    case Field::hour:
      std::snprintf(digits, sizeof digits, "%02d", date_hour(date));
      break;
    case Field::minute:
      std::snprintf(digits, sizeof digits, "%02d", date_minute(date));
      break;
    case Field::second:
      std::snprintf(digits, sizeof digits, "%02d", date_second(date));
      break;
  }
  out += digits;
}

}  // namespace

std::string format_date(std::string_view mask, DateValue date) {
  // The mask is a C string: a NUL ends it.
  mask = mask.substr(0, mask.find('\0'));
  std::string out;
  std::size_t at = 0;
  while (at < mask.size()) {
    const std::size_t percent = mask.find('%', at);
    out.append(mask.substr(at, percent - at));
    if (percent == std::string_view::npos) break;
    at = percent + 1;
    if (const Token* token = token_at(mask.substr(at))) {
      append_field(out, token->field, date);
      at += token->text.size();
    } else {
      out += '%';  // starts no token: kept, and the scan goes on after it
    }
  }
  return out;
}

}  // namespace sr
