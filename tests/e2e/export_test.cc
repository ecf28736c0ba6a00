// The CGI environment as the compiled script sees it.
#include <chrono>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/runner_sandbox.h"

namespace sr::test {
namespace {

using Environment = std::map<std::string, std::string>;

// Like the default fake compiler, but the executable is a bash script: dash drops environment
// entries whose names are no shell names (GET_a&b), bash passes them on to /usr/bin/env.
constexpr char kBashCompiler[] =
    "#!/bin/sh\n"
    "t=\"$3.part$$\"\n"
    "{ /usr/bin/printf '#!/bin/bash\\n'; /bin/sed 1d -- \"$4\"; } > \"$t\" &&\n"
    "  /bin/chmod 755 \"$t\" && /bin/mv -f -- \"$t\" \"$3\"\n";
constexpr char kPrintEnvironment[] = "/usr/bin/env\n";
// Three hours east of UTC, without daylight saving.
constexpr char kZone[] = "Etc/GMT-3";
constexpr std::int64_t kZoneOffsetSeconds = 3 * 3600;
// An environment string may hold at most 128 KiB, its name and "=" included.
constexpr std::size_t kHostileLength = 128 * 1024 - 64;

bool set_by_runner(const std::string& name) {
  return name.starts_with("GET_") || name.starts_with("ZR_Interpreter_") ||
         name == "TAMRIVOLE_HOME";
}

// The runner's family of variables from `env` output, one NAME=value per line.
Environment runner_variables(const std::string& env_output) {
  Environment found;
  std::size_t start = 0;
  while (start < env_output.size()) {
    std::size_t end = env_output.find('\n', start);
    if (end == std::string::npos) end = env_output.size();
    const std::string line = env_output.substr(start, end - start);
    const std::size_t equals = line.find('=');
    if (equals != std::string::npos && set_by_runner(line.substr(0, equals))) {
      found[line.substr(0, equals)] = line.substr(equals + 1);
    }
    start = end + 1;
  }
  return found;
}

Environment only_get(const Environment& variables) {
  Environment get;
  for (const auto& [name, value] : variables) {
    if (name.starts_with("GET_")) get[name] = value;
  }
  return get;
}

std::optional<std::string> lookup(const Environment& variables, const std::string& name) {
  const auto found = variables.find(name);
  if (found == variables.end()) return std::nullopt;
  return found->second;
}

class ExportTest : public ::testing::Test {
 protected:
  ExportTest() {
    sandbox_.set_compiler(kBashCompiler);
    sandbox_.set_upx("#!/bin/sh\nexit 0\n");
    script_ = sandbox_.write_script("env.cgi", kPrintEnvironment);
  }

  // The runner's variables as the script sees them; the script is compiled once and then reused.
  Environment exported(std::optional<std::string> switches, Environment env) {
    RunOptions options;
    options.switches = std::move(switches);
    options.env = std::move(env);
    options.env["SCRIPT_FILENAME"] = script_;
    last_ = sandbox_.run(options);
    EXPECT_EQ(last_.exit_code, 0);
    return runner_variables(last_.out);
  }

  RunnerSandbox sandbox_;
  std::string script_;
  RunResult last_;
};

TEST_F(ExportTest, QueryParameters) {
  struct Row {
    const char* name;
    std::optional<std::string> query;
    std::optional<std::string> uri;
    Environment get;
    std::optional<std::string> count;
  };
  const std::vector<Row> rows = {
      {"two parameters",
       "name=joe&age=5",
       "/x.cgi?name=joe&age=5",
       {{"GET_name", "joe"}, {"GET_age", "5"}},
       "2"},
      {"empty query", "", "/x.cgi?a=1", {}, std::nullopt},
      {"request URI unset", "a=1", std::nullopt, {}, std::nullopt},
      {"request URI empty", "a=1", "", {}, std::nullopt},
      {"parameter without = merges", "a&b=1", "/x.cgi?a&b=1", {{"GET_a&b", "1"}}, "1"},
      {"empty name counts but is not exported", "=x&b=2", "/x.cgi?=x&b=2", {}, "1"},
      {"no = at all", "abc", "/x.cgi?abc", {}, "0"},
      {"last parameter without =", "a=1&z", "/x.cgi?a=1&z", {{"GET_a", "1"}}, "1"},
      {"names from the query, values from the URI",
       "Name=joe",
       "/x.cgi?NAME=Ann&x=1",
       {{"GET_Name", "Ann"}},
       "1"},
      {"name missing from the URI", "q=1", "/x.cgi?r=2", {{"GET_q", ""}}, "1"},
      {"part name answered as URL part",
       "/WS/=1",
       "http://host.example:8080/x.cgi?/WS/=1",
       {{"GET_/WS/", "host.example"}},
       "1"},
      {"value holding a later name",
       "x=b&b=2",
       "/x.cgi?x=b&b=2",
       {{"GET_x", "b"}, {"GET_b", "2"}},
       "3"},
      {"percent escapes and + stay",
       "a%20b=1+%41",
       "/x.cgi?a%20b=1+%41",
       {{"GET_a%20b", "1+%41"}},
       "1"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Environment env;
    if (row.query) env["QUERY_STRING"] = *row.query;
    if (row.uri) env["REQUEST_URI"] = *row.uri;
    const Environment seen = exported("-w", env);
    EXPECT_EQ(only_get(seen), row.get);
    EXPECT_EQ(lookup(seen, "ZR_Interpreter_QueryStrings"), row.count);
    EXPECT_EQ(lookup(seen, "ZR_Interpreter_ZRVersion"), "430");
  }
}

// Inherited variables pass on, except the switch variables: only the runner's own switches may
// turn on what they stand for (the stub's error pages under ZR_Interpreter_ParamWarn, for one).
TEST_F(ExportTest, InheritedVariablesPassThroughUnlessSet) {
  const Environment inherited = {{"GET_keep", "1"},
                                 {"GET_name", "old"},
                                 {"ZR_Interpreter_QueryStrings", "77"},
                                 {"ZR_Interpreter_ParamParse", "outer"},
                                 {"ZR_Interpreter_ParamWarn", "0"},
                                 {"ZR_Interpreter_Other", "x"}};
  Environment no_query = inherited;
  no_query["QUERY_STRING"] = "";
  Environment seen = exported("-w", no_query);
  for (const auto& [name, value] : inherited) {
    SCOPED_TRACE(name);
    const bool switch_variable = name.starts_with("ZR_Interpreter_Param");
    EXPECT_EQ(lookup(seen, name), name == "ZR_Interpreter_ParamWarn" ? "1"
                                  : switch_variable                  ? std::nullopt
                                                                     : std::optional(value));
  }

  Environment with_query = inherited;
  with_query["QUERY_STRING"] = "name=new";
  with_query["REQUEST_URI"] = "/x.cgi?name=new";
  seen = exported("", with_query);
  EXPECT_EQ(lookup(seen, "GET_name"), "new");
  EXPECT_EQ(lookup(seen, "GET_keep"), "1");
  EXPECT_EQ(lookup(seen, "ZR_Interpreter_QueryStrings"), "1");
  EXPECT_EQ(lookup(seen, "ZR_Interpreter_ParamWarn"), std::nullopt);
  EXPECT_EQ(lookup(seen, "ZR_Interpreter_ParamParse"), std::nullopt);
}

TEST_F(ExportTest, SwitchFacts) {
  struct Row {
    const char* name;
    std::optional<std::string> switches;
    bool compress, warn, parse;
  };
  const std::vector<Row> rows = {
      {"no argument", std::nullopt, false, false, false},
      {"-c -w", "-c -w", true, true, false},
      {"long forms", "--compress --warn --parse", true, true, true},
      {"-p", "-p", false, false, true},
  };
  const auto flag = [](bool on) { return on ? std::optional<std::string>("1") : std::nullopt; };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const Environment seen = exported(row.switches, {});
    EXPECT_EQ(lookup(seen, "ZR_Interpreter_ParamCompress"), flag(row.compress));
    EXPECT_EQ(lookup(seen, "ZR_Interpreter_ParamWarn"), flag(row.warn));
    EXPECT_EQ(lookup(seen, "ZR_Interpreter_ParamParse"), flag(row.parse));
    EXPECT_EQ(lookup(seen, "ZR_Interpreter_ParamForce"), std::nullopt);
    EXPECT_EQ(last_.err, "");
  }
}

TEST_F(ExportTest, RunnerFacts) {
  const std::string runner = std::filesystem::canonical(sandbox_.runner_path()).string();
  const std::int64_t before = std::time(nullptr);
  const auto started = std::chrono::steady_clock::now();
  const Environment seen = exported("-w", {{"TZ", kZone}});
  const auto took = std::chrono::steady_clock::now() - started;
  const std::int64_t after = std::time(nullptr);

  EXPECT_EQ(lookup(seen, "ZR_Interpreter_Version"), "150");
  EXPECT_EQ(lookup(seen, "ZR_Interpreter_ZRVersion"), "430");
  EXPECT_EQ(lookup(seen, "TAMRIVOLE_HOME"),
            std::filesystem::path(runner).parent_path().string() + "/");
  EXPECT_EQ(lookup(seen, "ZR_Interpreter_ProgramFilename"), runner);

  // The local wall clock counted as UTC seconds.
  const std::int64_t date = std::stoll(lookup(seen, "ZR_Interpreter_Date").value_or("0"));
  EXPECT_GE(date, before + kZoneOffsetSeconds);
  EXPECT_LE(date, after + kZoneOffsetSeconds);

  // Milliseconds of this run so far: never negative, never more than the run took.
  const std::string creation = lookup(seen, "ZR_Interpreter_CreationTime").value_or("-1");
  ASSERT_EQ(creation.find_first_not_of("0123456789"), std::string::npos) << creation;
  const auto took_ms = std::chrono::duration_cast<std::chrono::milliseconds>(took).count();
  EXPECT_LE(std::stoll(creation), took_ms + 1000);
}

// Only the sandbox's hang guard applies: a scan that restarts at every "&" would outlast it.
TEST_F(ExportTest, HostileQueries) {
  std::string many;
  const std::string digits = "abcdefghijklmnopqrstuvwxyz0123456789";
  for (int i = 0; i < 20000; ++i) {
    if (i > 0) many += "&";
    many += std::string{digits[i / 1296], digits[i / 36 % 36], digits[i % 36]} + "=1";
  }
  ASSERT_LT(many.size(), kHostileLength);
  struct Row {
    const char* name;
    std::string query;
    std::string count;
    std::size_t exported;
  };
  const std::vector<Row> rows = {
      {"128 KiB of &", std::string(kHostileLength, '&'), "0", 0},
      {"20,000 parameters", many, "20000", 20000},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const Environment seen =
        exported("-w", {{"QUERY_STRING", row.query}, {"REQUEST_URI", "/x?" + row.query}});
    EXPECT_EQ(lookup(seen, "ZR_Interpreter_QueryStrings"), row.count);
    const Environment get = only_get(seen);
    EXPECT_EQ(get.size(), row.exported);
    for (const auto& [name, value] : get) ASSERT_EQ(value, "1") << name;
  }
}

}  // namespace
}  // namespace sr::test
