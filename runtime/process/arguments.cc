#include "runtime/process/arguments.h"

#include <string>
#include <vector>

#include "runtime/process/process.h"

namespace sr {
namespace {

bool is_separator(char c) {
  return c == ' ' || c == '\t' || c == '\n';
}

}  // namespace

int split_arguments_in_place(char* text, char** arguments, int capacity) {
  int count = 0;
  char* at = text;
  for (;;) {
    while (is_separator(*at)) ++at;
    if (*at == '\0') break;
    char* start;
    if (*at == '"') {
      start = ++at;
      while (*at != '\0' && *at != '"') ++at;
    } else {
      start = at;
      while (*at != '\0' && !is_separator(*at)) ++at;
    }
    if (count < capacity) arguments[count++] = start;
    if (*at == '\0') break;
    // The closing quote or the separator ends the piece; the next one may follow at once.
    *at++ = '\0';
  }
  return count;
}

std::vector<std::string> split_program_arguments(std::string_view text) {
  std::string copy(text);
  char* pieces[kMaxArguments];
  int count = split_arguments_in_place(copy.data(), pieces, kMaxArguments);
  return std::vector<std::string>(pieces, pieces + count);
}

}  // namespace sr
