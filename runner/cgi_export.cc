#include "runner/cgi_export.h"

#include "runner/query_names.h"
#include "runner/switches.h"
#include "runtime/console/console.h"
#include "runtime/datetime/datetime.h"
#include "runtime/strings/strings.h"
#include "runtime/strings/url_part.h"

namespace sr {

std::vector<Variable> query_variables(std::string_view query_string, std::string_view request_uri) {
  std::vector<Variable> variables;
  if (query_string.empty() || request_uri.empty()) return variables;
  const std::vector<std::string> names = query_parameter_names("&" + std::string(query_string));
  const UrlQuery values(request_uri);
  variables.reserve(names.size() + 1);
  for (const std::string& name : names) variables.push_back({"GET_" + name, values.value(name)});
  variables.push_back(
      {"ZR_Interpreter_QueryStrings", number_to_string(static_cast<std::int64_t>(names.size()))});
  return variables;
}

void export_cgi_environment(const RunState& state) {
  const std::string query = get_environment_variable("QUERY_STRING");
  const std::string uri = query.empty() ? std::string() : get_environment_variable("REQUEST_URI");
  // One batch: each single export would search the environment, which now holds every
  // parameter. A name holding "=" is refused by the platform: it is skipped but still counted.
  std::vector<Variable> variables = query_variables(query, uri);
  variables.push_back({"ZR_Interpreter_ProgramFilename", program_filename()});
  variables.push_back({"ZR_Interpreter_Date", number_to_string(current_date())});
  variables.push_back({"ZR_Interpreter_ZRVersion", number_to_string(430)});
  if (compress_mode(state)) {
    variables.push_back({"ZR_Interpreter_ParamCompress", "1"});
  }
  if (warn_mode(state)) {
    variables.push_back({"ZR_Interpreter_ParamWarn", "1"});
  }
  if (parse_mode(state)) {
    variables.push_back({"ZR_Interpreter_ParamParse", "1"});
  }
  const std::int64_t spent = std::int64_t{elapsed_milliseconds()} - state.start_time_ms;
  variables.push_back({"ZR_Interpreter_CreationTime", number_to_string(spent)});
  set_environment_variables(variables);
}

}  // namespace sr
