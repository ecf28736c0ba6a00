// The switch string, the script check and the error page, as the web server sees them.
#include <gtest/gtest.h>

#include "tests/e2e/runner_sandbox.h"

namespace sr::test {
namespace {

const std::string kBadScript =
    "The environmentvariable SCRIPT_FILENAME contains an invalid or no filename: ";
const std::string kRelativeScript =
    "The environmentvariable SCRIPT_FILENAME contains no absolute filename: ";

// Prints each argument in brackets, so that empty and blank-holding arguments show.
const std::string kPrintArgs = "for a in \"$@\"; do printf '[%s]' \"$a\"; done\necho\n";

TEST(Driver, UnsetOrMissingScriptEndsWithTheMessage) {
  RunnerSandbox sandbox;
  std::string missing = sandbox.dir() + "/missing.cgi";
  sandbox.write_script("sub/here.cgi", "echo served\n");
  struct Row {
    const char* name;
    std::optional<std::string> switches;
    std::optional<std::string> script;
    std::string message;
    bool warn;
    std::string log = "";  // the log line when it differs from the message
  } rows[] = {
      {"unset, no argument", std::nullopt, std::nullopt, kBadScript, false},
      {"unset, -w", "-w", std::nullopt, kBadScript, true},
      {"unset, --warn", "--warn", std::nullopt, kBadScript, true},
      {"empty, -w", "-w", "", kBadScript, true},
      {"missing, no switch", "", missing, kBadScript + missing, false},
      {"missing, -w", "-w", missing, kBadScript + missing, true},
      {"missing, -p -w", "-p -w", missing, kBadScript + missing, true},
      // The compiler would look for Include files from a folder that the request chose.
      {"relative, -w", "-w", "sub/here.cgi", kRelativeScript + "sub/here.cgi", true},
      {"relative with ./", "", "./sub/here.cgi", kRelativeScript + "./sub/here.cgi", false},
      // A log line of its own would be forged; the page shows the path as it came.
      {"line feed and escape in the path, -w", "-w", missing + "\nforged\x1b[0m",
       kBadScript + missing + "\nforged\x1b[0m", true,
       kBadScript + missing + "\\x0Aforged\\x1B[0m"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    RunOptions options;
    options.switches = row.switches;
    if (row.script) options.env["SCRIPT_FILENAME"] = *row.script;
    RunResult result = sandbox.run(options);
    EXPECT_EQ(result.err, (row.log.empty() ? row.message : row.log) + "\n");
    EXPECT_EQ(result.out, row.warn ? warn_page(row.message) : "");
    EXPECT_EQ(result.exit_code, 0);
  }
  EXPECT_EQ(sandbox.cache_files(), std::vector<std::string>{});
  EXPECT_EQ(sandbox.compile_count(), 0);
}

TEST(Driver, SwitchStringTurnsOnWarnOnlyForAnExactField) {
  RunnerSandbox sandbox;
  struct Row {
    const char* name;
    std::string switches;
    bool warn;
  } rows[] = {
      {"short", "-w", true},
      {"long", "--warn", true},
      {"trailing CR", "-w -p\r", true},
      {"CRLF", "-w\r\n", true},
      {"CR inside a field", "-\rw", true},
      {"doubled blank", "-f  -w", true},
      {"leading blank", " -w", true},
      {"trailing blank", "-w ", true},
      {"among unknown fields", "-x --y -w z", true},
      {"upper-case short", "-W", false},
      {"upper-case long", "--Warn", false},
      {"merged", "-wf", false},
      {"merged the other way", "-fw", false},
      {"tab separates nothing", "-f\t-w", false},
      {"trailing tab", "-w\t", false},
      {"LF removed joins fields", "-f\n-w", false},
      {"empty", "", false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    RunOptions options;
    options.switches = row.switches;
    RunResult result = sandbox.run(options);
    EXPECT_EQ(result.err, kBadScript + "\n");
    EXPECT_EQ(result.out, row.warn ? warn_page(kBadScript) : "");
    EXPECT_EQ(result.exit_code, 0);
  }
}

TEST(Driver, CompiledScriptGetsTheSwitchStringSplitIntoArguments) {
  struct Row {
    const char* name;
    std::optional<std::string> switches;
    std::string args;
  } rows[] = {
      {"no argument", std::nullopt, ""},
      {"empty argument", "", ""},
      {"one switch", "-w", "[-w]"},
      {"two switches", "-w -p", "[-w][-p]"},
      {"force and warn", "-w -f", "[-w][-f]"},
      {"doubled blank gives no empty argument", "-w  -p", "[-w][-p]"},
      {"tab separates", "-w\t-x", "[-w][-x]"},
      {"CR and LF removed first", "-w\r -x\r\n", "[-w][-x]"},
      {"LF removed joins", "-w\n-x", "[-w-x]"},
      {"quotes group", "-w \"a b\"", "[-w][a b]"},
      {"unknown forms passed on", "-W --Warn -wf", "[-W][--Warn][-wf]"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    RunnerSandbox sandbox;
    std::string script = sandbox.write_script("args.cgi", kPrintArgs);
    RunResult result = sandbox.run_script(script, row.switches);
    EXPECT_EQ(result.out, row.args + "\n");
    EXPECT_EQ(result.err, "");
  }
}

TEST(Driver, DirectoryPassesTheCheckButCannotBeCopied) {
  RunnerSandbox sandbox;
  sandbox.write_file("folder/inside.cgi", "#!/x\necho hi\n");
  std::string folder = sandbox.dir() + "/folder";
  for (bool warn : {false, true}) {
    SCOPED_TRACE(warn ? "-w" : "no switch");
    RunResult result = sandbox.run_script(folder, warn ? "-w" : "");
    EXPECT_EQ(result.err, "Source file cannot be copied.\n" + folder + ": Is a directory\n");
    EXPECT_EQ(result.out, warn ? warn_page("Source file cannot be copied.") : "");
    EXPECT_EQ(result.exit_code, 0);
  }
  EXPECT_EQ(sandbox.compile_count(), 0);
}

}  // namespace
}  // namespace sr::test
