#include "runtime/regex/regex.h"

#include <pcre.h>
#include <string.h>

#include <climits>
#include <map>
#include <memory>

namespace sr {
namespace {

struct PcreFree {
  void operator()(pcre* code) const { pcre_free(code); }
};
using CompiledRegex = std::unique_ptr<pcre, PcreFree>;

struct RegexLibrary {
  std::map<RegexHandle, CompiledRegex> table;
  // Handles are never reused, so a handle kept past shutdown never names a newer expression.
  RegexHandle last_handle = 0;
  std::string last_error;
};

RegexLibrary& library() {
  static RegexLibrary instance;
  return instance;
}

const pcre* find_regex(RegexHandle regex) {
  auto& table = library().table;
  auto it = table.find(regex);
  return it == table.end() ? nullptr : it->second.get();
}

// PCRE takes int lengths; a longer text cannot be searched and counts as no match.
bool fits_pcre(std::string_view text) {
  return text.data() != nullptr && text.size() <= static_cast<size_t>(INT_MAX);
}

// The end of the first occurrence of `needle` in `haystack`, measured from its start.
size_t end_of_first_occurrence(std::string_view haystack, std::string_view needle) {
  if (needle.empty()) return 0;
  const void* found = memmem(haystack.data(), haystack.size(), needle.data(), needle.size());
  // PCRE's match lies inside the haystack, so there is always an occurrence.
  if (found == nullptr) return haystack.size();
  return static_cast<const char*>(found) - haystack.data() + needle.size();
}

}  // namespace

void init_regex_library() {
  library().table.clear();
  library().last_error.clear();
}

void shutdown_regex_library() {
  library().table.clear();
}

RegexHandle create_regex(std::string_view pattern, int flags) {
  RegexLibrary& lib = library();
  lib.last_error.clear();
  if (pattern.data() == nullptr) return 0;
  // PCRE reads the pattern up to its first zero byte; a cut pattern would be a different one.
  if (pattern.find('\0') != std::string_view::npos) {
    lib.last_error = "zero byte in pattern";
    return 0;
  }
  const std::string terminated(pattern);
  const char* message = nullptr;
  int offset = 0;
  pcre* code = pcre_compile(terminated.c_str(), flags, &message, &offset, nullptr);
  if (code == nullptr) {
    lib.last_error = message != nullptr ? message : "";
    return 0;
  }
  const RegexHandle handle = ++lib.last_handle;
  lib.table.emplace(handle, CompiledRegex(code));
  return handle;
}

std::string regex_last_error() {
  return library().last_error;
}

int regex_matches(RegexHandle regex, std::string_view text) {
  const pcre* code = find_regex(regex);
  if (code == nullptr || !fits_pcre(text)) return 0;
  const int rc = pcre_exec(code, nullptr, text.data(), static_cast<int>(text.size()), 0,
                           PCRE_NO_UTF8_CHECK, nullptr, 0);
  return rc >= 0 ? 1 : 0;
}

int extract_regex_matches(RegexHandle regex, std::string_view text,
                          std::vector<std::string>& matches) {
  const pcre* code = find_regex(regex);
  if (code == nullptr || !fits_pcre(text)) return 0;
  std::vector<std::string> found;
  std::string_view remaining = text;
  for (;;) {
    int ovector[3];
    const int rc = pcre_exec(code, nullptr, remaining.data(), static_cast<int>(remaining.size()), 0,
                             PCRE_NO_UTF8_CHECK, ovector, 3);
    // Negative: no match or a PCRE error (limits), both of which end the search.
    if (rc < 0) break;
    // 0 means the vector held only the whole match, which is all that is needed.
    const int string_count = rc == 0 ? 1 : rc;
    const char* copy = nullptr;
    const int length = pcre_get_substring(remaining.data(), ovector, string_count, 0, &copy);
    if (length < 0) break;
    const std::string_view match(copy, length);
    const size_t advance = end_of_first_occurrence(remaining, match);
    found.emplace_back(match);
    pcre_free_substring(copy);
    if (advance == 0) break;
    remaining.remove_prefix(advance);
  }
  if (found.empty()) return 0;
  matches = std::move(found);
  return static_cast<int>(matches.size());
}

}  // namespace sr
