#include "runner/tool_environment.h"

#include <cstdlib>
#include <string_view>

#include "runner/exported_variables.h"
#include "runner/switches.h"
#include "runtime/console/console.h"

namespace sr {
namespace {

using Entries = std::vector<std::string>;

// The index of `name`'s entry, or entries.size() when it has none.
std::size_t entry_of(const Entries& entries, std::string_view name) {
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::string_view entry = entries[i];
    if (entry.size() > name.size() && entry.starts_with(name) && entry[name.size()] == '=')
      return i;
  }
  return entries.size();
}

std::vector<std::string> listed_names(std::string_view list) {
  std::vector<std::string> names;
  while (!list.empty()) {
    const std::size_t blank = list.find(' ');
    const std::string_view name = list.substr(0, blank);
    if (!name.empty() && name.find('=') == std::string_view::npos) names.emplace_back(name);
    if (blank == std::string_view::npos) break;
    list.remove_prefix(blank + 1);
  }
  return names;
}

}  // namespace

std::vector<std::string> tool_environment(const std::string& program_filename, bool force,
                                          const std::string& script_path,
                                          const EnvironmentLookUp& look_up) {
  Entries entries{std::string("PATH=") + kToolPath};
  ExportFacts facts;
  facts.program_filename = program_filename;
  facts.force = force;
  for (ExportPhase phase : {ExportPhase::start, ExportPhase::before_build}) {
    for (const auto& [name, value] : exported_variables(facts, phase))
      entries.push_back(name + "=" + value);
  }
  // The compiler resolves Include lines from the script's folder.
  entries.push_back("SCRIPT_FILENAME=" + script_path);
  const char* list = look_up("ZR_Interpreter_ToolEnv");
  for (const std::string& name : listed_names(list ? list : "")) {
    const char* value = look_up(name);
    if (value == nullptr) continue;
    const std::size_t at = entry_of(entries, name);
    if (at == entries.size()) {
      entries.push_back(name + "=" + value);
    } else if (at == 0) {
      entries[0] = name + "=" + value;  // the administrator's own search path
    }
  }
  return entries;
}

std::vector<std::string> tool_environment(const RunState& state) {
  return tool_environment(program_filename(), force_mode(state), state.script_path,
                          [](const std::string& name) { return std::getenv(name.c_str()); });
}

}  // namespace sr
