// What the compiled script gets (arguments, folder, input) and what the web server gets back.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>

#include "tests/e2e/runner_sandbox.h"

namespace sr::test {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

const std::string kNoBodyWarning =
    "Warning: POST-data cannot be passed to executable's stdin due to insufficient memory "
    "allocation.";

// The lines of "seq -w first last": fixed-width numbers, so that a lost or reordered block shows.
std::string numbered_lines(long first, long last) {
  std::string text;
  size_t width = std::to_string(last).size();
  for (long i = first; i <= last; ++i) {
    std::string number = std::to_string(i);
    text += std::string(width - number.size(), '0') + number + "\n";
  }
  return text;
}

TEST(Execution, ScriptRunsInItsOwnFolder) {
  RunnerSandbox sandbox;
  std::string script = sandbox.write_script("cgi/deep/s.cgi", "/bin/pwd -P\n");
  RunResult result = sandbox.run_script(script);
  EXPECT_EQ(result.out, sandbox.dir() + "/cgi/deep\n");
}

TEST(Execution, ScriptInputFollowsTheContentLength) {
  struct Row {
    const char* name;
    std::optional<std::string> content_length;
    std::string body;
    std::string input;  // what the script reads
    std::string err;
  } rows[] = {
      {"absent", std::nullopt, "", "", ""},
      {"empty", "", "", "", ""},
      {"zero", "0", "", "", ""},
      {"zero with bytes sent", "0", "ignored", "", ""},
      {"exact", "5", "a=1&b", "a=1&b", ""},
      {"more sent than declared", "5", "a=1&bcdef", "a=1&b", ""},
      {"digits then letters", "3abc", "xyz!", "xyz", ""},
      {"leading blanks", " \t4", "abcdef", "abcd", ""},
      {"short body ends where the input ends", "10", "abcd", "abcd", ""},
      {"binary body", "4", "\0\r\n\xff"s, "\0\r\n\xff"s, ""},
      {"negative", "-1", "", "", kNoBodyWarning + "\n"},
      {"negative with bytes sent", "-7", "abc", "", kNoBodyWarning + "\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    RunnerSandbox sandbox;
    std::string script = sandbox.write_script("in.cgi", "printf '['\n/bin/cat\nprintf ']'\n");
    std::map<std::string, std::string> env;
    if (row.content_length) env["CONTENT_LENGTH"] = *row.content_length;
    RunOptions options;
    options.switches = "-w";
    options.env = env;
    options.stdin_data = row.body;
    options.env["SCRIPT_FILENAME"] = script;
    options.timeout_ms = 20000;
    RunResult result = sandbox.run(options);
    EXPECT_EQ(result.out, "[" + row.input + "]");
    EXPECT_EQ(result.err, row.err);
    EXPECT_EQ(result.exit_code, 0);
  }
}

TEST(Execution, OutputArrivesCompleteAndInOrder) {
  struct Row {
    const char* name;
    long first, last;
  } rows[] = {
      {"2,500 bytes", 100'000'001, 100'000'250},
      {"10 MB", 1, 1'250'000},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    RunnerSandbox sandbox;
    std::string script =
        sandbox.write_script("big.cgi", "/usr/bin/seq -w " + std::to_string(row.first) + " " +
                                            std::to_string(row.last) + "\n");
    RunResult result = sandbox.run_script(script);
    std::string expected = numbered_lines(row.first, row.last);
    EXPECT_EQ(result.out.size(), expected.size());
    EXPECT_TRUE(result.out == expected) << "output differs from the script's";
    EXPECT_EQ(result.err, "");
  }
}

TEST(Execution, ErrorLinesAreRelayedOneLineEach) {
  struct Row {
    const char* name;
    std::string written;  // what the script writes to its standard error
    std::string relayed;
  } rows[] = {
      {"empty line dropped", "oops\n\n", "oops\n"},
      {"only empty lines", "\n\n\n", ""},
      {"CR before LF kept", "a\r\nb\n", "a\r\nb\n"},
      {"last line without LF", "first\nlast", "first\nlast\n"},
      {"blank line is not empty", " \n", " \n"},
      {"long line", std::string(5000, 'e') + "\n", std::string(5000, 'e') + "\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    RunnerSandbox sandbox;
    std::string data = sandbox.write_file("stderr.txt", row.written);
    std::string script =
        sandbox.write_script("e.cgi", "echo out\n/bin/cat '" + data + "' >&2\necho end\n");
    RunResult result = sandbox.run_script(script);
    EXPECT_EQ(result.err, row.relayed);
    EXPECT_EQ(result.out, "out\nend\n");
  }
}

TEST(Execution, ScriptExitCodeIsNotPassedOn) {
  RunnerSandbox sandbox;
  std::string script = sandbox.write_script("x.cgi", "echo partial\nexit 3\n");
  RunResult result = sandbox.run_script(script);
  EXPECT_EQ(result.out, "partial\n");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.exit_code, 0);
}

TEST(Execution, ExecutableThatCannotStartEndsWithTheMessage) {
  RunnerSandbox sandbox;
  // A compiler that leaves its executable without execute permission.
  sandbox.set_compiler(
      "#!/bin/sh\nprintf '#!/bin/sh\\necho hi\\n' > \"$3\"\n/bin/chmod 644 \"$3\"\n");
  std::string script = sandbox.write_script("s.cgi", "echo hi\n");
  RunResult result = sandbox.run_script(script);
  std::string message =
      "The compiled program cannot be started: " + RunnerSandbox::cache_path(script);
  // The reason goes to the error log only, on a line of its own.
  EXPECT_EQ(result.err, message + "\nPermission denied\n");
  EXPECT_EQ(result.out, warn_page(message));
}

TEST(Execution, ScriptStartsWithDefaultSignalDispositions) {
  RunnerSandbox sandbox;
  std::string script = sandbox.write_script("sig.cgi", "/bin/grep '^SigIgn:' /proc/self/status\n");
  RunResult result = sandbox.run_script(script);
  ASSERT_EQ(result.out.rfind("SigIgn:\t", 0), 0u) << result.out;
  unsigned long long ignored = std::stoull(result.out.substr(8), nullptr, 16);
  // A script that inherits an ignored SIGPIPE never stops when its reader goes away.
  EXPECT_EQ(ignored & (1ull << (SIGPIPE - 1)), 0u) << result.out;
}

TEST(Execution, ScriptSeesTheRunnersVariables) {
  RunnerSandbox sandbox;
  std::string script = sandbox.write_script(
      "v.cgi", "echo \"$ZR_Interpreter_Version|$TAMRIVOLE_HOME|$SCRIPT_FILENAME\"\n");
  RunResult result = sandbox.run_script(script);
  EXPECT_EQ(result.out, "150|" + sandbox.dir() + "/|" + script + "\n");
}

}  // namespace
}  // namespace sr::test
