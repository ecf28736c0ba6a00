// Named parts of a URL and raw query-parameter values.
#pragma once

#include <string>
#include <string_view>

namespace sr {

// `name` is one of "/WS/" (host), "/PO/" (port), "/US/" (user), "/PS/" (password),
// "/PM/" (all parameters), "/AN/" (anchor), "/PT/" (path), compared exactly; any other name is
// looked up as a query parameter with a case-insensitive key of exactly the name's length.
// Values are returned raw (not decoded); "" when there is none.
std::string url_part(std::string_view url, std::string_view name);

}  // namespace sr
