// Requests built to hurt: environment strings at the platform's limit, names of any byte,
// odd request URIs, content lengths that wrap, script paths of every shape, scripts that write
// binary output, never end, or leave while their body is still being passed. Every run ends
// with exit code 0, loses none of the script's output and leaves no temporary source behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/run_child.h"
#include "tests/e2e/runner_sandbox.h"

namespace sr::test {
namespace {

using namespace std::string_literals;
namespace fs = std::filesystem;
using Environment = std::map<std::string, std::string>;

// A hang is a failure; this only bounds the test, it measures nothing.
constexpr int kHangGuardMs = 30000;
// Linux refuses to start a program with one argument or environment string longer than this
// (MAX_ARG_STRLEN), counting "NAME=" and the closing zero byte.
constexpr std::size_t kMaxEnvironmentString = 131072;
const std::string kNoBodyWarning =
    "Warning: POST-data cannot be passed to executable's stdin due to insufficient memory "
    "allocation.";

// The longest value that NAME can carry into a program that is started.
std::size_t longest_value(const std::string& name) {
  return kMaxEnvironmentString - name.size() - 2;
}

// A compiler whose executable is /usr/bin/env itself: with the switch string "-0" the script
// prints its whole environment, byte for byte, one entry per zero byte. No shell in between
// drops entries whose names are no shell names.
constexpr char kEnvCompiler[] =
    "#!/bin/sh\n"
    "/bin/cp /usr/bin/env \"$3.part$$\" && /bin/mv -f -- \"$3.part$$\" \"$3\"\n";

Environment get_variables(const std::string& env_output, std::optional<std::string>* count) {
  Environment found;
  std::size_t start = 0;
  while (start < env_output.size()) {
    std::size_t end = env_output.find('\0', start);
    if (end == std::string::npos) end = env_output.size();
    const std::string entry = env_output.substr(start, end - start);
    const std::size_t equals = entry.find('=');
    const std::string name = entry.substr(0, equals);
    if (name.starts_with("GET_")) found[name] = entry.substr(equals + 1);
    if (name == "ZR_Interpreter_QueryStrings") *count = entry.substr(equals + 1);
    start = end + 1;
  }
  return found;
}

RunResult run_guarded(const RunnerSandbox& sandbox, const std::string& script, Environment env,
                      const std::string& body = "", std::optional<std::string> switches = "-w") {
  RunOptions options;
  options.switches = std::move(switches);
  options.env = std::move(env);
  options.env["SCRIPT_FILENAME"] = script;
  options.stdin_data = body;
  options.timeout_ms = kHangGuardMs;
  return sandbox.run(options);
}

// After a normal run only the cached executable and its record may stay in /tmp.
void expect_no_temporary_files(const RunnerSandbox& sandbox) {
  for (const std::string& path : sandbox.cache_files()) {
    EXPECT_FALSE(path.ends_with(".zr")) << "temporary source left behind: " << path;
    EXPECT_EQ(path.find(".part"), std::string::npos) << "half-built executable left: " << path;
  }
}

std::string hex_byte(int byte) {
  const char* digits = "0123456789abcdef";
  return {digits[byte >> 4], digits[byte & 15]};
}

bool process_alive(pid_t pid) {
  std::string stat = RunnerSandbox::read_file("/proc/" + std::to_string(pid) + "/stat");
  std::size_t paren = stat.rfind(')');
  return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] != 'Z';
}

bool wait_until_gone(pid_t pid, std::chrono::seconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (process_alive(pid)) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

TEST(HostileInput, QueryAsLongAsAProgramCanBeStartedWith) {
  RunnerSandbox sandbox;
  std::string script =
      sandbox.write_script("q.cgi",
                           "printf '%s|%s|' \"$ZR_Interpreter_QueryStrings\" \"${#GET_x}\"\n"
                           "/usr/bin/env | /bin/grep -c '^GET_'\n");
  const std::size_t limit = longest_value("QUERY_STRING");
  ASSERT_EQ(limit, 131058u);
  const std::string value_query = "x=" + std::string(limit - 2, 'v');
  struct Row {
    const char* name;
    std::string query;
    std::string uri;
    std::string out;
  } rows[] = {
      {"only &", std::string(limit, '&'), "/q.cgi", "0|0|0\n"},
      // The URI is as long as an environment string may be, too.
      {"one value filling the limit", value_query, "?" + value_query,
       "1|" + std::to_string(limit - 2) + "|1\n"},
  };
  ASSERT_EQ(("REQUEST_URI=?" + value_query).size() + 1, kMaxEnvironmentString);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ASSERT_EQ(row.query.size(), limit);
    RunResult result =
        run_guarded(sandbox, script, {{"QUERY_STRING", row.query}, {"REQUEST_URI", row.uri}});
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.out, row.out);
    EXPECT_EQ(result.err, "");
  }
  // One byte more and no web server could start the runner at all: the limit above is the real one.
  RunResult refused = run_guarded(sandbox, script, {{"QUERY_STRING", std::string(limit + 1, 'a')}});
  EXPECT_EQ(refused.exit_code, 127) << "the platform started a program with a longer string";
  expect_no_temporary_files(sandbox);
}

TEST(HostileInput, NamesOfAnyByteArriveAsWritten) {
  RunnerSandbox sandbox;
  sandbox.set_compiler(kEnvCompiler);
  std::string script = sandbox.write_script("env.cgi", "");
  // One parameter per byte that a name may hold besides "&", "=" and the line feed, which
  // PCRE's "." does not match.
  std::vector<int> bytes;
  for (int b = 0x01; b <= 0x1f; ++b) {
    if (b != '\n') bytes.push_back(b);
  }
  for (int b = 0x7f; b <= 0xff; ++b) bytes.push_back(b);
  bytes.push_back('"');
  bytes.push_back('\'');
  std::string every_byte;
  Environment every_byte_get;
  for (int b : bytes) {
    std::string name = "n"s + static_cast<char>(b) + "q";
    if (!every_byte.empty()) every_byte += "&";
    every_byte += name + "=" + hex_byte(b);
    every_byte_get["GET_" + name] = hex_byte(b);
  }
  struct Row {
    const char* name;
    std::string query;
    Environment get;
    std::string count;
  } rows[] = {
      {"every byte but & = LF", every_byte, every_byte_get, std::to_string(bytes.size())},
      {"line feed inside a name", "a\nb=1&c=2", {{"GET_c", "2"}}, "1"},
      {"carriage return ends nothing", "a\rb=1&c=2", {{"GET_a\rb", "1"}, {"GET_c", "2"}}, "2"},
      {"doubled =", "a==1&b=2", {{"GET_a", "=1"}, {"GET_b", "2"}}, "2"},
      {"quotes", "\"x\"='1'&'y'=\"2\"", {{"GET_\"x\"", "'1'"}, {"GET_'y'", "\"2\""}}, "2"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    RunResult result = run_guarded(
        sandbox, script, {{"QUERY_STRING", row.query}, {"REQUEST_URI", "/env.cgi?" + row.query}},
        "", "-0");
    std::optional<std::string> count;
    EXPECT_EQ(get_variables(result.out, &count), row.get);
    EXPECT_EQ(count, row.count);
    EXPECT_EQ(result.exit_code, 0);
  }
  expect_no_temporary_files(sandbox);
}

TEST(HostileInput, RequestUriOfAnyShape) {
  RunnerSandbox sandbox;
  sandbox.set_compiler(kEnvCompiler);
  std::string script = sandbox.write_script("env.cgi", "");
  struct Row {
    const char* name;
    std::string query;
    std::string uri;
    Environment get;
  } rows[] = {
      {"no ? at all", "a=1&b=2", "/env.cgi", {{"GET_a", ""}, {"GET_b", ""}}},
      {"? and # inside values",
       "a=1?2&b=?#&c=3",
       "/env.cgi?a=1?2&b=?#&c=3#frag",
       {{"GET_a", "1?2"}, {"GET_b", "?#"}, {"GET_c", "3"}}},
      {"? in the path: the first one starts the query", "a=1", "/x?y.cgi?a=1", {{"GET_a", ""}}},
      {"# before ?", "a=1", "/env.cgi#top?a=1", {{"GET_a", "1"}}},
      {"only ?", "a=1", "?", {{"GET_a", ""}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    RunResult result = run_guarded(
        sandbox, script, {{"QUERY_STRING", row.query}, {"REQUEST_URI", row.uri}}, "", "-0");
    std::optional<std::string> count;
    EXPECT_EQ(get_variables(result.out, &count), row.get);
    EXPECT_EQ(count, std::to_string(row.get.size()));
  }
  expect_no_temporary_files(sandbox);
}

// The declared length is read as a number modulo 2^64, then cut to its low 32 bits taken as
// signed: the script gets exactly that many bytes (the body, then zero bytes), or nothing and a
// warning when the result is negative.
TEST(HostileInput, ContentLengthWrapsToThirtyTwoBits) {
  const std::string body = "hello world";
  struct Row {
    const char* length;
    std::int64_t bytes;  // what the script must receive; -1: nothing, with the warning
  } rows[] = {
      {"", 0},
      {"abc", 0},
      {"-1", -1},
      {"2147483647x", 2147483647},  // 2^31 - 1: the largest body there is
      {"2147483648", -1},           // 2^31: negative
      {"4294967295", -1},           // 2^32 - 1: -1
      {"4294967296", 0},            // 2^32: 0
      {"4294967301", 5},            // 2^32 + 5
      {"18446744073709551621", 5},  // 2^64 + 5
      {"99999999999999999999", 1661992959},
      {"1048576", 1048576},  // far more than the body
  };
  // Reads at most 1 MiB, then leaves: a length in the gigabytes must not keep the run going.
  constexpr std::int64_t kRead = 1 << 20;
  RunnerSandbox sandbox;
  std::string script = sandbox.write_script(
      "in.cgi", "/usr/bin/head -c " + std::to_string(kRead) + " | /usr/bin/od -An -v -tx1 -w16\n");
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string("CONTENT_LENGTH '") + row.length + "'");
    RunResult result = run_guarded(sandbox, script, {{"CONTENT_LENGTH", row.length}}, body);
    std::string expected_input;
    if (row.bytes > 0) {
      // Only what came: a body shorter than announced is not padded.
      expected_input = body.substr(0, static_cast<std::size_t>(std::min(row.bytes, kRead)));
    }
    std::string expected_out;
    for (std::size_t i = 0; i < expected_input.size(); i += 16) {
      for (std::size_t j = i; j < std::min(i + 16, expected_input.size()); ++j) {
        expected_out += " " + hex_byte(static_cast<unsigned char>(expected_input[j]));
      }
      expected_out += "\n";
    }
    EXPECT_TRUE(result.out == expected_out)
        << result.out.size() << " bytes of od output, " << expected_out.size() << " expected";
    EXPECT_EQ(result.err, row.bytes < 0 ? kNoBodyWarning + "\n" : "");
    EXPECT_EQ(result.exit_code, 0);
  }
  expect_no_temporary_files(sandbox);
}

// A length of 1.5 GB announced over three bytes gives the script those three and its end.
TEST(HostileInput, WrappedContentLengthPassesOnlyWhatCame) {
  RunnerSandbox sandbox;
  std::string script = sandbox.write_script("count.cgi", "/usr/bin/wc -c\n");
  RunResult result =
      run_guarded(sandbox, script, {{"CONTENT_LENGTH", "99999999999999999999"}}, "abc");
  EXPECT_EQ(result.out, "3\n");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.exit_code, 0);
  expect_no_temporary_files(sandbox);
}

TEST(HostileInput, ScriptLeavingWhileItsBodyIsPassedEndsTheRun) {
  RunnerSandbox sandbox;
  std::string body(8 << 20, 'b');
  body[3] = '\0';
  std::string script = sandbox.write_script("leave.cgi", "/usr/bin/head -c 5\n");
  RunResult result =
      run_guarded(sandbox, script, {{"CONTENT_LENGTH", std::to_string(body.size())}}, body);
  EXPECT_EQ(result.out, body.substr(0, 5));
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.exit_code, 0);
  expect_no_temporary_files(sandbox);
}

// A script file in the sandbox whose cache name ("zr-executable_" and the script path without
// "/") is `cache_name_length` bytes long.
std::string file_for(const RunnerSandbox& sandbox, std::size_t cache_name_length) {
  const std::string folder(std::min<std::size_t>(200, cache_name_length / 2), 'd');
  const std::size_t prefix = std::string("zr-executable_").size() +
                             (sandbox.dir() + "/" + folder + "/").size() - 3 /* slashes */ - 1;
  return folder + "/" + std::string(cache_name_length - prefix - 1, 'f') + "x";
}

TEST(HostileInput, ScriptPathsOfAnyShape) {
  RunnerSandbox sandbox;
  // The fake compiler's temporary name adds ".part" and its pid to the cache name.
  auto file_for = [&](std::size_t cache_name_length) {
    return sr::test::file_for(sandbox, cache_name_length);
  };
  struct Row {
    const char* name;
    std::string file;
    bool runs;
  } rows[] = {
      {"blanks", "with blanks/a b  c.cgi", true},
      {"double quotes", "q\" \"b.cgi", true},
      {"line feed and carriage return", "line\nfeed\r.cgi", true},
      {"leading dash", "-w.cgi", true},
      {"every name within 255 bytes", file_for(255 - 13), true},
      {"cache name fits, the compiler's temporary name does not", file_for(252), false},
      {"cache name 255 bytes", file_for(255), false},
      {"cache name past the file-name limit", file_for(300), false},
  };
  const std::string too_long = "The script path is too long for a cached executable: ";
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::string script = sandbox.write_script(row.file, "echo GOOD\n");
    RunResult result = run_guarded(sandbox, script, {});
    EXPECT_EQ(result.exit_code, 0);
    if (row.runs) {
      EXPECT_EQ(result.out, "GOOD\n");
      EXPECT_EQ(result.err, "");
      EXPECT_FALSE(fs::exists(RunnerSandbox::cache_path(script) + ".zr"));
    } else {
      // Ends through the error page: the same one-line message on both streams.
      ASSERT_FALSE(result.err.empty());
      EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << result.err;
      EXPECT_EQ(result.out, warn_page(result.err.substr(0, result.err.size() - 1)));
      EXPECT_EQ(result.out.find("GOOD"), std::string::npos);
      EXPECT_EQ(result.err, too_long + RunnerSandbox::cache_path(script) + "\n");
    }
  }
}

// The longest cache name that the check lets through also compiles with the bundled compiler,
// whose half-written file (".tmp-XXXXXX") lies beside the executable; with -f the limit holds
// for the longest unique name, so the answer never depends on its random part.
TEST(HostileInput, LongestAcceptedCacheNameCompiles) {
  RunnerSandbox sandbox;
  sandbox.use_stand_in_compiler();
  const std::string too_long = "The script path is too long for a cached executable: ";
  struct Row {
    std::size_t cache_name_length;
    const char* switches;
    bool runs;
  } rows[] = {{243, "-w", true},     {244, "-w", true},    {245, "-w", false},
              {248, "-w", false},    {198, "-w -f", true}, {199, "-w -f", true},
              {200, "-w -f", false}, {208, "-w -f", false}};
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.cache_name_length) + " bytes, " + row.switches);
    const std::string script =
        sandbox.write_script(file_for(sandbox, row.cache_name_length), "WriteLine \"GOOD\"\n");
    for (int run = 0; run < 3; ++run) {
      const RunResult result = run_guarded(sandbox, script, {}, "", row.switches);
      EXPECT_EQ(result.out,
                row.runs ? "GOOD\n" : warn_page(too_long + RunnerSandbox::cache_path(script)));
      EXPECT_EQ(result.err, row.runs ? "" : too_long + RunnerSandbox::cache_path(script) + "\n");
    }
  }
}

TEST(HostileInput, BinaryOutputArrivesByteExact) {
  RunnerSandbox sandbox;
  std::string sent = sandbox.dir() + "/sent.bin";
  struct Row {
    const char* name;
    std::string body;
  } rows[] = {
      {"only zero bytes", "/usr/bin/printf '\\0\\0\\0'\n"},
      {"3 MB of random bytes, no line end",
       "/usr/bin/head -c 3000000 /dev/urandom | /usr/bin/tee '" + sent + "'\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    fs::remove(sent);
    std::string script = sandbox.write_script("bin.cgi", row.body);
    RunResult result = run_guarded(sandbox, script, {});
    std::string expected = fs::exists(sent) ? RunnerSandbox::read_file(sent) : "\0\0\0"s;
    EXPECT_EQ(result.out.size(), expected.size());
    EXPECT_TRUE(result.out == expected) << "the output differs from what the script wrote";
    EXPECT_EQ(result.exit_code, 0);
  }
  expect_no_temporary_files(sandbox);
}

// A web server's time-out kills the runner with SIGKILL. The script it started must not go on
// running on its own: it dies with the runner, whether it writes or stays silent.
TEST(HostileInput, EndlessScriptDiesWithTheKilledRunner) {
  struct Row {
    const char* name;
    const char* loop;
  } rows[] = {
      {"writing", "while :; do echo tick; /bin/sleep 0.05; done"},
      {"silent", "while :; do /bin/sleep 0.05; done"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    RunnerSandbox sandbox;
    std::string pid_file = sandbox.dir() + "/script.pid";
    std::string script =
        sandbox.write_script("endless.cgi", "[ \"$QUERY_STRING\" = warm ] && exit 0\necho $$ > '" +
                                                pid_file + "'\necho started\n" + row.loop + "\n");
    // Built once beforehand, so the killed run is a plain cached one.
    ASSERT_EQ(run_guarded(sandbox, script, {{"QUERY_STRING", "warm"}}).exit_code, 0);

    ChildLaunch launch;
    launch.argv = {sandbox.runner_path(), "-w"};
    launch.env = {"SCRIPT_FILENAME=" + script};
    launch.cwd = sandbox.dir();
    launch.timeout_ms = 1500;  // the web server's time-out
    RunResult result = run_child(launch);
    ASSERT_TRUE(result.timed_out);
    EXPECT_TRUE(result.out.starts_with("started\n")) << "output before the kill was held back";

    std::string pid_text = RunnerSandbox::read_file(pid_file);
    ASSERT_FALSE(pid_text.empty());
    const pid_t pid = std::stoi(pid_text);
    const bool ended = wait_until_gone(pid, std::chrono::seconds(10));
    EXPECT_TRUE(ended) << "the script outlived its runner";
    if (!ended) kill(pid, SIGKILL);
    expect_no_temporary_files(sandbox);
  }
}

}  // namespace
}  // namespace sr::test
