#include "runner/cgi_export.h"

#include <stdlib.h>

#include "runner/switches.h"
#include "runtime/console/console.h"
#include "runtime/datetime/datetime.h"

namespace sr {
namespace {

// Only what `phase` needs is gathered: the clock and the request are read once the executable
// is ready, when the time spent on it is known.
ExportFacts facts_for(const RunState& state, ExportPhase phase) {
  ExportFacts facts;
  if (phase == ExportPhase::start) return facts;
  facts.program_filename = program_filename();
  facts.force = force_mode(state);
  if (phase == ExportPhase::before_build) return facts;
  facts.query_string = get_environment_variable("QUERY_STRING");
  if (!facts.query_string.empty()) facts.request_uri = get_environment_variable("REQUEST_URI");
  facts.date = current_date();
  facts.compress = compress_mode(state);
  facts.warn = warn_mode(state);
  facts.parse = parse_mode(state);
  facts.creation_time_ms = std::int64_t{elapsed_milliseconds()} - state.start_time_ms;
  return facts;
}

}  // namespace

void export_variables(const RunState& state, ExportPhase phase) {
  const ExportFacts facts = facts_for(state, phase);
  for (const std::string& name : withheld_variables(facts, phase)) ::unsetenv(name.c_str());
  const std::vector<Variable> variables = exported_variables(facts, phase);
  if (phase != ExportPhase::before_run) {
    for (const auto& [name, value] : variables) set_environment_variable(name, value);
    return;
  }
  // One batch: each single export would search the environment, which now holds every
  // parameter. A name holding "=" is refused by the platform: it is skipped but still counted.
  set_environment_variables(variables);
}

}  // namespace sr
