#include "runner/exported_variables.h"

#include "runner/query_names.h"
#include "runtime/strings/strings.h"
#include "runtime/strings/url_part.h"

namespace sr {
namespace {

std::vector<Variable> before_run_variables(const ExportFacts& facts) {
  std::vector<Variable> variables = query_variables(facts.query_string, facts.request_uri);
  variables.push_back({"ZR_Interpreter_ProgramFilename", facts.program_filename});
  variables.push_back({"ZR_Interpreter_Date", number_to_string(facts.date)});
  variables.push_back({"ZR_Interpreter_ZRVersion", number_to_string(430)});
  if (facts.compress) variables.push_back({"ZR_Interpreter_ParamCompress", "1"});
  if (facts.warn) variables.push_back({"ZR_Interpreter_ParamWarn", "1"});
  if (facts.parse) variables.push_back({"ZR_Interpreter_ParamParse", "1"});
  variables.push_back({"ZR_Interpreter_CreationTime", number_to_string(facts.creation_time_ms)});
  return variables;
}

}  // namespace

std::vector<Variable> exported_variables(const ExportFacts& facts, ExportPhase phase) {
  switch (phase) {
    case ExportPhase::start:
      return {{"ZR_Interpreter_Version", "150"}};
    case ExportPhase::before_build: {
      std::vector<Variable> variables{{"TAMRIVOLE_HOME", path_part(facts.program_filename)}};
      if (facts.force) variables.push_back({"ZR_Interpreter_ParamForce", "1"});
      return variables;
    }
    case ExportPhase::before_run:
      return before_run_variables(facts);
  }
  return {};
}

std::vector<std::string> withheld_variables(const ExportFacts& facts, ExportPhase phase) {
  std::vector<std::string> names;
  if (phase == ExportPhase::before_build && !facts.force)
    names.push_back("ZR_Interpreter_ParamForce");
  if (phase != ExportPhase::before_run) return names;
  if (!facts.compress) names.push_back("ZR_Interpreter_ParamCompress");
  if (!facts.warn) names.push_back("ZR_Interpreter_ParamWarn");
  if (!facts.parse) names.push_back("ZR_Interpreter_ParamParse");
  return names;
}

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

}  // namespace sr
