// The relay never loses output, never deadlocks on body or streams, and never waits for
// descendants of the script.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/e2e/runner_sandbox.h"

namespace sr::test {
namespace {

// A hang is a failure; this only bounds the test, it measures nothing.
constexpr int kHangGuardMs = 20000;

RunResult run_guarded(const RunnerSandbox& sandbox, const std::string& script,
                      const std::string& body, std::map<std::string, std::string> env = {}) {
  RunOptions options;
  options.switches = "-w";
  options.env = std::move(env);
  options.stdin_data = body;
  options.env["SCRIPT_FILENAME"] = script;
  if (!body.empty() && !options.env.contains("CONTENT_LENGTH")) {
    options.env["CONTENT_LENGTH"] = std::to_string(body.size());
  }
  options.timeout_ms = kHangGuardMs;
  return sandbox.run(options);
}

std::string seq_text(int last) {
  std::string text;
  for (int i = 1; i <= last; ++i) text += std::to_string(i) + "\n";
  return text;
}

std::string pattern(size_t size) {
  std::string text(size, '\0');
  for (size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + (i * 7 + i / 991) % 26);
  return text;
}

TEST(RelayRobustness, EverythingWrittenJustBeforeTheEndIsRelayed) {
  RunnerSandbox sandbox;
  std::string script = sandbox.write_script(
      "burst.cgi", "/usr/bin/seq 1 200000\n/usr/bin/seq 1 3000 >&2\nprintf 'tail' >&2\n");
  RunResult result = run_guarded(sandbox, script, "");
  EXPECT_EQ(result.out.size(), seq_text(200000).size());
  EXPECT_TRUE(result.out == seq_text(200000));
  EXPECT_EQ(result.err, seq_text(3000) + "tail\n");
}

TEST(RelayRobustness, ReadingInputOnARequestWithoutBodySeesTheEnd) {
  for (const char* length : {"0", ""}) {
    SCOPED_TRACE(std::string("CONTENT_LENGTH '") + length + "'");
    RunnerSandbox sandbox;
    std::string script = sandbox.write_script("r.cgi", "/bin/cat\necho done\n");
    RunResult result = run_guarded(sandbox, script, "", {{"CONTENT_LENGTH", length}});
    EXPECT_EQ(result.out, "done\n");
  }
}

TEST(RelayRobustness, ScriptWritingMuchBeforeReadingALargeBodyCompletes) {
  RunnerSandbox sandbox;
  std::string body = pattern(1 << 20);
  // 131072 lines of 8 bytes, exactly 1 MiB, written before the body is read.
  std::string script =
      sandbox.write_script("echo.cgi", "/usr/bin/seq 1000001 1131072\n/bin/cat\necho end\n");
  RunResult result = run_guarded(sandbox, script, body);
  ASSERT_EQ(result.out.size(), (1u << 20) + (1u << 20) + 4);
  EXPECT_EQ(result.out.substr(0, 16), "1000001\n1000002\n");
  EXPECT_TRUE(result.out.substr(1 << 20, 1 << 20) == body) << "the body reached the script whole";
  EXPECT_EQ(result.out.substr(2 << 20), "end\n");
  EXPECT_EQ(result.err, "");
}

TEST(RelayRobustness, PartialErrorLineDoesNotBlockOutput) {
  RunnerSandbox sandbox;
  // The error line is finished only after more output than a pipe holds has been relayed.
  std::string script = sandbox.write_script(
      "p.cgi", "printf 'partial' >&2\n/usr/bin/seq 1 100000\nprintf ' rest\\n' >&2\necho end\n");
  RunResult result = run_guarded(sandbox, script, "");
  EXPECT_TRUE(result.out == seq_text(100000) + "end\n");
  EXPECT_EQ(result.err, "partial rest\n");
}

TEST(RelayRobustness, ScriptClosingItsInputEarlyDoesNotBreakTheRun) {
  RunnerSandbox sandbox;
  std::string body = pattern(4 << 20);
  std::string script = sandbox.write_script(
      "close.cgi", "/usr/bin/head -c 5\necho\nexec 0<&-\n/usr/bin/seq 1 100000\n");
  RunResult result = run_guarded(sandbox, script, body);
  EXPECT_EQ(result.exit_code, 0) << "the runner must not die of SIGPIPE";
  EXPECT_TRUE(result.out == body.substr(0, 5) + "\n" + seq_text(100000));
  EXPECT_EQ(result.err, "");
}

TEST(RelayRobustness, ErrorStreamIsDrainedAfterOutputCloses) {
  RunnerSandbox sandbox;
  std::string script = sandbox.write_script(
      "e.cgi", "echo head\nexec 1>&-\n/usr/bin/seq 1 50000 >&2\nprintf 'last' >&2\n");
  RunResult result = run_guarded(sandbox, script, "");
  EXPECT_EQ(result.out, "head\n");
  EXPECT_TRUE(result.err == seq_text(50000) + "last\n") << result.err.size() << " bytes";
}

TEST(RelayRobustness, LastErrorLineIsRelayedWhileADescendantHoldsTheStream) {
  RunnerSandbox sandbox;
  std::string pid_file = sandbox.dir() + "/bg.pid";
  std::string script =
      sandbox.write_script("last.cgi", "( exec /bin/sleep 60 ) &\necho $! > '" + pid_file +
                                           "'\necho page\nprintf 'first\\nlast' >&2\n");
  RunResult result = run_guarded(sandbox, script, "");
  sandbox.kill_recorded(pid_file);
  EXPECT_EQ(result.out, "page\n");
  EXPECT_EQ(result.err, "first\nlast\n");
  EXPECT_EQ(result.exit_code, 0);
}

TEST(RelayRobustness, RunEndsWithTheScriptNotWithItsDescendants) {
  struct Row {
    const char* name;
    std::string background;
  } rows[] = {
      {"silent child", "exec /bin/sleep 60"},
      {"child writing output", "while :; do echo spam; /bin/sleep 0.05; done"},
      {"child writing errors", "while :; do echo spam >&2; /bin/sleep 0.05; done"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    RunnerSandbox sandbox;
    std::string pid_file = sandbox.dir() + "/bg.pid";
    std::string script = sandbox.write_script(
        "bg.cgi", "( " + row.background + " ) &\necho $! > '" + pid_file + "'\necho done\n");
    RunResult result = run_guarded(sandbox, script, "");
    sandbox.kill_recorded(pid_file);
    EXPECT_NE(result.out.find("done\n"), std::string::npos);
    EXPECT_EQ(result.exit_code, 0);
  }
}

}  // namespace
}  // namespace sr::test
