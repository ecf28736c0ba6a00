// The query parameter names of a request, in linear time.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace sr {

// The names that the pattern "(?U)(?<=&).+(?==)" extracts from `subject` ("&" followed by the
// query string) with the extraction's resumption rule, repeated names included.
std::vector<std::string> query_parameter_names(std::string_view subject);

}  // namespace sr
