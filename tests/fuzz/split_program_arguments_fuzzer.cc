// split_program_arguments on any text equals a direct model of the splitting rules, and plain
// words (no separator, no double quote) joined by single blanks split back into themselves.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/process/process.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

// At most this many arguments fit the argument vector beside the program name.
constexpr std::size_t kMaxArguments = 510;

bool is_separator(char c) {
  return c == ' ' || c == '\t' || c == '\n';
}

std::vector<std::string> model(std::string_view text) {
  // The argument string ends at its first zero byte, as a C string does.
  text = text.substr(0, text.find('\0'));
  std::vector<std::string> arguments;
  std::size_t i = 0;
  for (;;) {
    while (i < text.size() && is_separator(text[i])) ++i;
    if (i == text.size()) break;
    if (text[i] == '"') {
      const std::size_t close = text.find('"', i + 1);
      if (close == std::string_view::npos) {
        arguments.emplace_back(text.substr(i + 1));
        break;
      }
      arguments.emplace_back(text.substr(i + 1, close - i - 1));
      i = close + 1;
    } else {
      std::size_t end = i;
      while (end < text.size() && !is_separator(text[end])) ++end;
      arguments.emplace_back(text.substr(i, end - i));
      i = end;
    }
  }
  if (arguments.size() > kMaxArguments) arguments.resize(kMaxArguments);
  return arguments;
}

std::string describe(const std::vector<std::string>& arguments) {
  std::string out;
  for (const std::string& a : arguments) out += "[" + a + "]";
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> split = sr::split_program_arguments(text);
  const std::vector<std::string> expected = model(text);
  if (split != expected) sr::fuzz::fail("split", describe(expected), describe(split));

  // The words of the input between separators, quotes and zero bytes.
  std::vector<std::string> words;
  std::string word;
  for (char c : text) {
    if (is_separator(c) || c == '"' || c == '\0') {
      if (!word.empty()) words.push_back(word);
      word.clear();
    } else {
      word += c;
    }
  }
  if (!word.empty()) words.push_back(word);
  if (words.size() > kMaxArguments) words.resize(kMaxArguments);
  std::string joined;
  for (const std::string& w : words) joined += (joined.empty() ? "" : " ") + w;
  const std::vector<std::string> rejoined = sr::split_program_arguments(joined);
  if (rejoined != words) sr::fuzz::fail("join and split", describe(words), describe(rejoined));
  return 0;
}
