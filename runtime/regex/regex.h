// Regular expressions over PCRE's 8-bit library, reached by handles that live until
// shutdown_regex_library.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace sr {

using RegexHandle = int;

void init_regex_library();
void shutdown_regex_library();

// Compiles with PCRE's own option bits, unchanged. 0 on failure, with regex_last_error set.
RegexHandle create_regex(std::string_view pattern, int flags = 0);
// PCRE's message for the last failed create_regex; "" after a successful one.
std::string regex_last_error();

// 1 when the expression matches somewhere in the text; 0 for no match, an unknown handle or a
// PCRE error.
int regex_matches(RegexHandle regex, std::string_view text);

// Every match, in order: each search starts a new subject behind the first occurrence of the
// previous match's text; an empty match is stored once and ends the search. Returns the count;
// `matches` is resized to exactly that count, or left as it was when there is no match.
int extract_regex_matches(RegexHandle regex, std::string_view text,
                          std::vector<std::string>& matches);

}  // namespace sr
