#include "runner/exported_variables.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace sr {
namespace {

using Variables = std::vector<Variable>;

// The whole export: the phases one after the other, as a run sets them.
Variables whole_export(const ExportFacts& facts) {
  Variables all;
  for (ExportPhase phase :
       {ExportPhase::start, ExportPhase::before_build, ExportPhase::before_run}) {
    const Variables part = exported_variables(facts, phase);
    all.insert(all.end(), part.begin(), part.end());
  }
  return all;
}

ExportFacts base_facts() {
  ExportFacts facts;
  facts.program_filename = "/opt/runner/bin/scriptrunner";
  facts.date = 45678;
  facts.creation_time_ms = 12;
  return facts;
}

TEST(ExportedVariables, EveryVariableInOrderWithItsValue) {
  struct Row {
    const char* name;
    ExportFacts facts;
    Variables expected;
  };
  ExportFacts plain = base_facts();
  ExportFacts all_switches = base_facts();
  all_switches.force = all_switches.compress = all_switches.warn = all_switches.parse = true;
  all_switches.query_string = "name=joe&age=5";
  all_switches.request_uri = "/s.zr?name=joe&age=5";
  ExportFacts query_without_uri = base_facts();
  query_without_uri.query_string = "name=joe";
  const Variables plain_export = {
      {"ZR_Interpreter_Version", "150"},
      {"TAMRIVOLE_HOME", "/opt/runner/bin/"},
      {"ZR_Interpreter_ProgramFilename", "/opt/runner/bin/scriptrunner"},
      {"ZR_Interpreter_Date", "45678"},
      {"ZR_Interpreter_ZRVersion", "430"},
      {"ZR_Interpreter_CreationTime", "12"}};
  const Row rows[] = {
      {"no switches, no query", plain, plain_export},
      {"every switch and a query",
       all_switches,
       {{"ZR_Interpreter_Version", "150"},
        {"TAMRIVOLE_HOME", "/opt/runner/bin/"},
        {"ZR_Interpreter_ParamForce", "1"},
        {"GET_name", "joe"},
        {"GET_age", "5"},
        {"ZR_Interpreter_QueryStrings", "2"},
        {"ZR_Interpreter_ProgramFilename", "/opt/runner/bin/scriptrunner"},
        {"ZR_Interpreter_Date", "45678"},
        {"ZR_Interpreter_ZRVersion", "430"},
        {"ZR_Interpreter_ParamCompress", "1"},
        {"ZR_Interpreter_ParamWarn", "1"},
        {"ZR_Interpreter_ParamParse", "1"},
        {"ZR_Interpreter_CreationTime", "12"}}},
      {"a query without a request URI exports no parameters", query_without_uri, plain_export},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(whole_export(row.facts), row.expected);
  }
}

// The compiler starts between the phases: what it inherits must not wait for the run's facts.
TEST(ExportedVariables, EarlyPhasesIgnoreLaterFacts) {
  ExportFacts facts = base_facts();
  const Variables start = exported_variables(facts, ExportPhase::start);
  const Variables before_build = exported_variables(facts, ExportPhase::before_build);
  facts.query_string = "a=1";
  facts.request_uri = "/s.zr?a=1";
  facts.compress = true;
  facts.creation_time_ms = 999;
  EXPECT_EQ(exported_variables(facts, ExportPhase::start), start);
  EXPECT_EQ(exported_variables(facts, ExportPhase::before_build), before_build);
}

TEST(ExportedVariables, NegativeCreationTimeAndEmptyProgramPathStayAsComputed) {
  ExportFacts facts;
  facts.creation_time_ms = -3;  // a clock that stepped back
  const Variables before_build = exported_variables(facts, ExportPhase::before_build);
  ASSERT_EQ(before_build.size(), 1u);
  EXPECT_EQ(before_build[0], Variable("TAMRIVOLE_HOME", ""));
  EXPECT_EQ(exported_variables(facts, ExportPhase::before_run).back(),
            Variable("ZR_Interpreter_CreationTime", "-3"));
}

}  // namespace
}  // namespace sr
