// Every variable that the runner exports, as data: computed apart from setting them, so that
// names, values and order can be checked without a run.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sr {

// A name and its value.
using Variable = std::pair<std::string, std::string>;

// When a group of variables is set: the compiler inherits those of the first two, the script
// all of them. The groups in this order make the whole export.
enum class ExportPhase {
  start,         // before anything else happens
  before_build,  // once the script path has been checked
  before_run,    // once the executable is ready
};

// What the variables are made from; each phase reads only its own facts.
struct ExportFacts {
  std::string program_filename;  // before_build and before_run
  bool force = false;            // before_build
  std::string query_string;      // before_run from here on
  std::string request_uri;
  std::int64_t date = 0;
  bool compress = false;
  bool warn = false;
  bool parse = false;
  std::int64_t creation_time_ms = 0;
};

// The variables of `phase`, in the order they are set.
std::vector<Variable> exported_variables(const ExportFacts& facts, ExportPhase phase);

// The switch variables (ZR_Interpreter_Param*) that `phase` leaves absent because their switch is
// off: a value inherited from the web server or the request must not switch on what only the
// administrator's switches may (the stub's error pages, for one).
std::vector<std::string> withheld_variables(const ExportFacts& facts, ExportPhase phase);

// "GET_" + name for every query parameter name (repeats included) with its raw value from the
// request URI, then ZR_Interpreter_QueryStrings with the number of names. Empty unless both
// texts are non-empty.
std::vector<Variable> query_variables(std::string_view query_string, std::string_view request_uri);

}  // namespace sr
