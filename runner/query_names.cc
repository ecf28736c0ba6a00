#include "runner/query_names.h"

#include <cstddef>

namespace sr {
namespace {

constexpr size_t kNone = static_cast<size_t>(-1);

// For every "&" at position a, where the lazy name match that starts behind it ends: the first
// "=" at a + 2 or later, provided that no LF (the only byte that "." refuses under PCRE's
// default newline) comes before it. kNone when no name starts behind that position. The answer
// depends only on the bytes after a, never on where the current subject was cut, so it is
// computed once for the whole text, from its end.
std::vector<size_t> name_ends(std::string_view text) {
  std::vector<size_t> ends(text.size(), kNone);
  size_t eq_from_next = kNone;   // first "=" at k + 1 or later
  size_t eq_from_after = kNone;  // first "=" at k + 2 or later
  size_t lf_from_next = kNone;   // first LF at k + 1 or later
  for (size_t k = text.size(); k-- > 0;) {
    if (text[k] == '&' && eq_from_after < lf_from_next) ends[k] = eq_from_after;
    eq_from_after = eq_from_next;
    if (text[k] == '=') eq_from_next = k;
    if (text[k] == '\n') lf_from_next = k;
  }
  return ends;
}

// Knuth-Morris-Pratt: the end of the first occurrence of `needle` (not empty) in `text` at or
// after `from`. The scan stops there, so its cost is the length of the needle plus the distance
// covered, which is exactly how far the extraction then moves on.
// `border` is scratch space, kept by the caller so that a hundred names cost no allocations.
size_t end_of_first_occurrence(std::string_view text, size_t from, std::string_view needle,
                               std::vector<size_t>& border) {
  border.assign(needle.size(), 0);
  for (size_t i = 1, k = 0; i < needle.size(); ++i) {
    while (k > 0 && needle[i] != needle[k]) k = border[k - 1];
    if (needle[i] == needle[k]) ++k;
    border[i] = k;
  }
  for (size_t i = from, k = 0; i < text.size(); ++i) {
    while (k > 0 && text[i] != needle[k]) k = border[k - 1];
    if (text[i] == needle[k]) ++k;
    if (k == needle.size()) return i + 1;
  }
  return text.size();  // not reached: the name itself lies in the text
}

}  // namespace

std::vector<std::string> query_parameter_names(std::string_view subject) {
  const std::vector<size_t> ends = name_ends(subject);
  std::vector<std::string> names;
  std::vector<size_t> border;
  size_t base = 0;  // where the current subject starts
  size_t amp = 0;   // the earliest "&" at or after base that starts a name
  for (;;) {
    // The look-behind cannot see before the cut, so the "&" must lie at base or later. A name
    // found before is found again while the cut stays at or before its "&".
    if (amp < base) amp = base;
    while (amp < subject.size() && ends[amp] == kNone) ++amp;
    if (amp >= subject.size()) break;
    const std::string_view name = subject.substr(amp + 1, ends[amp] - amp - 1);
    names.emplace_back(name);
    // The next subject starts behind the first occurrence of the name's text, which may lie
    // before the name itself.
    base = end_of_first_occurrence(subject, base, name, border);
  }
  return names;
}

}  // namespace sr
