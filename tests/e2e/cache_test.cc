// When the runner compiles, where the executable lives, and force mode.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
#include <vector>

#include "tests/e2e/runner_sandbox.h"

namespace sr::test {
namespace {

namespace fs = std::filesystem;

constexpr long kPast = 1'000'000'000;  // 2001, safely before any build

std::string regex_escape(const std::string& text) {
  static const std::regex kSpecial(R"([.^$|()\[\]{}*+?\\])");
  return std::regex_replace(text, kSpecial, R"(\$&)");
}

TEST(Cache, MissingExecutableIsCompiledAtTheCachePath) {
  RunnerSandbox sandbox;
  std::string script = sandbox.write_script("hello.cgi", "echo hello\n");
  std::string exe = RunnerSandbox::cache_path(script);
  RunResult result = sandbox.run_script(script);
  EXPECT_EQ(result.out, "hello\n");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(sandbox.compile_count(), 1);
  EXPECT_TRUE(fs::is_regular_file(exe));
  EXPECT_FALSE(fs::exists(exe + ".zr"));

  result = sandbox.run_script(script);
  EXPECT_EQ(result.out, "hello\n");
  EXPECT_EQ(sandbox.compile_count(), 1) << "a current executable is not compiled again";
  EXPECT_TRUE(fs::is_regular_file(exe)) << "a run without force mode deletes no executable";
}

TEST(Cache, CompilesWhenTheScriptIsNewerThanTheExecutableOrHasChanged) {
  struct Row {
    const char* name;
    long script_offset;  // script time minus executable time, in seconds
    bool saved_again;    // the script rewritten (same size) after the build
    bool compiles;
  } rows[] = {
      {"equal times", 0, false, false},
      {"script one second newer", 1, false, true},
      {"script much newer", 100000, false, true},
      {"script older", -100, false, false},
      // The whole seconds say current; the record's size and nanoseconds say otherwise.
      {"script saved again, dated before the executable", -100, true, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    RunnerSandbox sandbox;
    std::string script = sandbox.write_script("s.cgi", "echo old\n");
    RunnerSandbox::set_mtime(script, kPast);
    ASSERT_EQ(sandbox.run_script(script).out, "old\n");
    if (row.saved_again) sandbox.write_script("s.cgi", "echo new\n");
    const long script_time = row.saved_again ? time(nullptr) : kPast;
    RunnerSandbox::set_mtime(RunnerSandbox::cache_path(script), script_time - row.script_offset);

    RunResult result = sandbox.run_script(script);
    EXPECT_EQ(result.out, row.saved_again ? "new\n" : "old\n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(sandbox.compile_count(), row.compiles ? 2 : 1);
  }
}

TEST(Cache, ForceModeBuildsAUniqueExecutableForOneRun) {
  RunnerSandbox sandbox;
  sandbox.set_compiler(sandbox.default_compiler(
      "echo \"${ZR_Interpreter_ParamForce-unset}\" > \"$d/compiler.force\"\n"));
  std::string script =
      sandbox.write_script("f.cgi", "echo \"${ZR_Interpreter_ParamForce-unset}\"\n");
  std::string cached = RunnerSandbox::cache_path(script);
  // The specified name with its unique suffix, inside a private folder of its own.
  std::regex name(R"(/tmp/zr-private_[A-Za-z0-9]{6}/)" +
                  regex_escape(cached.substr(std::string("/tmp/").size())) +
                  R"(_\d{4}-\d\d-\d\d_\d\d-\d\d-\d\d_CanBeDeleted_(0|[1-9]\d{0,6})\.tmp)");

  std::set<std::string> names;
  for (int run = 1; run <= 2; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    RunResult result = sandbox.run_script(script, "-w -f");
    EXPECT_EQ(result.out, "1\n");
    EXPECT_EQ(result.err, "");
    std::istringstream args(sandbox.compiler_args());
    std::string quiet, flag, exe, source;
    std::getline(args, quiet) && std::getline(args, flag) && std::getline(args, exe) &&
        std::getline(args, source);
    EXPECT_TRUE(std::regex_match(exe, name)) << exe;
    EXPECT_EQ(source, exe + ".zr");
    names.insert(exe);
    EXPECT_EQ(RunnerSandbox::read_file(sandbox.dir() + "/compiler.force"), "1\n");
    EXPECT_FALSE(fs::exists(fs::path(exe).parent_path())) << "the private folder lives for one run";
    EXPECT_FALSE(fs::exists(cached));
    EXPECT_EQ(sandbox.compile_count(), run);
  }
  EXPECT_EQ(names.size(), 2u);
}

TEST(Cache, WithoutForceTheForceVariableIsUnset) {
  RunnerSandbox sandbox;
  sandbox.set_compiler(sandbox.default_compiler(
      "echo \"${ZR_Interpreter_ParamForce-unset}\" > \"$d/compiler.force\"\n"));
  std::string script =
      sandbox.write_script("f.cgi", "echo \"${ZR_Interpreter_ParamForce-unset}\"\n");
  RunResult result = sandbox.run_script(script, "-w --Force");
  EXPECT_EQ(result.out, "unset\n");
  EXPECT_EQ(RunnerSandbox::read_file(sandbox.dir() + "/compiler.force"), "unset\n");
}

TEST(Cache, CollidingCacheNamesBothStayWarm) {
  RunnerSandbox sandbox;
  std::string a = sandbox.write_script("a/bc.cgi", "echo A\n");
  std::string b = sandbox.write_script("ab/c.cgi", "echo B\n");
  ASSERT_EQ(RunnerSandbox::cache_path(a), RunnerSandbox::cache_path(b));
  // Both scripts look older than any executable, so only the path tells them apart.
  RunnerSandbox::set_mtime(a, kPast);
  RunnerSandbox::set_mtime(b, kPast);
  const struct {
    const std::string& script;
    const char* expected;
  } runs[] = {{a, "A\n"}, {b, "B\n"}, {a, "A\n"}, {b, "B\n"}, {b, "B\n"}};
  for (const auto& run : runs) {
    SCOPED_TRACE(run.script);
    RunResult result = sandbox.run_script(run.script);
    EXPECT_EQ(result.out, run.expected);
    EXPECT_EQ(result.err, "");
  }
  EXPECT_EQ(sandbox.compile_count(), 2) << "each script keeps an executable of its own";
  // The first keeps the specified name; the second gets it with a suffix from its own path.
  std::vector<std::string> executables;
  for (const std::string& file : sandbox.cache_files()) {
    if (!file.ends_with(".script")) executables.push_back(file);
  }
  std::sort(executables.begin(), executables.end());
  ASSERT_EQ(executables.size(), 2u);
  EXPECT_EQ(executables[0], RunnerSandbox::cache_path(a));
  EXPECT_TRUE(std::regex_match(
      executables[1], std::regex(regex_escape(RunnerSandbox::cache_path(b)) + "_[0-9a-f]{16}")))
      << executables[1];
}

}  // namespace
}  // namespace sr::test
