// The request and facts about the run, exported to the environment that the script inherits.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "runner/run_state.h"

namespace sr {

// A name and its value.
using Variable = std::pair<std::string, std::string>;

// "GET_" + name for every query parameter name (repeats included) with its raw value from the
// request URI, then ZR_Interpreter_QueryStrings with the number of names. Empty unless both
// texts are non-empty.
std::vector<Variable> query_variables(std::string_view query_string, std::string_view request_uri);

// Sets the query variables and the ZR_Interpreter_ facts of this run.
void export_cgi_environment(const RunState& state);

}  // namespace sr
