// The same requests through the CGI runner and through the server: the response and the error
// lines must be the same bytes, on the first request for a script (which compiles it) and on a
// later one (which finds it cached).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include <signal.h>
#include <unistd.h>

#include "tests/e2e/run_child.h"
#include "tests/fcgi/fcgi_client.h"
#include "tests/fcgi/server_process.h"

namespace sr::test {
namespace {

constexpr const char* kLibraryClient = "/usr/bin/cgi-fcgi";

struct Case {
  const char* name;
  std::string script;               // file name in the sandbox
  std::string first_line_switches;  // after the runner's path on the first line; "" for none
  std::string text;                 // the script after its first line
  Params params;                    // beyond the defaults
  std::string body;
};

std::string read_example(const std::string& name) {
  std::ifstream in(std::string(SR_EXAMPLES_DIR) + "/" + name, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The example without its first line, and the switches of that line.
std::pair<std::string, std::string> split_example(const std::string& name) {
  const std::string text = read_example(name);
  const std::string first = text.substr(0, text.find('\n'));
  const std::size_t blank = first.find(' ');
  return {blank == std::string::npos ? "" : first.substr(blank + 1),
          text.substr(text.find('\n') + 1)};
}

// Values that depend on the moment of the run, not on the path it took.
std::string without_clock(const std::string& text) {
  static const std::regex volatile_values("(ZR_Interpreter_(CreationTime|Date)\\D{0,8})\\d+");
  return std::regex_replace(text, volatile_values, "$1N");
}

class Parity : public ::testing::Test {
 protected:
  std::string install(const Case& c) {
    const std::string first_line =
        "#!" + sandbox_.runner_path() +
        (c.first_line_switches.empty() ? "" : " " + c.first_line_switches);
    return sandbox_.write_file(c.script, first_line + "\n" + c.text, 0755);
  }

  RunResult through_cgi(const Case& c, const std::string& path) {
    RunOptions options;
    // The kernel passes the rest of the first line as one argument, then the script's path.
    options.switches = c.first_line_switches.empty() ? path : c.first_line_switches;
    for (const auto& [name, value] : request_params(path, c.params)) options.env[name] = value;
    options.stdin_data = c.body;
    options.cwd = path.substr(0, path.rfind('/'));
    return sandbox_.run(options);
  }

  FcgiResponse through_server(const ServerProcess& server, const Case& c, const std::string& path) {
    FcgiClient client(server.socket_path());
    client.begin(1);
    // The CGI run got its environment sorted by name; the server gets the same order.
    Params sorted;
    for (const auto& [name, value] : request_params(path, c.params))
      sorted.emplace_back(name, value);
    std::sort(sorted.begin(), sorted.end());
    client.params(1, sorted);
    if (!c.body.empty()) client.body(1, c.body);
    client.body_end(1);
    return client.read_response(1);
  }

  // After the first request of each case (which compiles), `cached_rounds` more; an executable
  // that runs resident serves them all in one process, whose program must start afresh each time.
  // Returns the number of resident processes that were left when the cases were done.
  std::size_t compare(const std::vector<Case>& cases, int cached_rounds = 1) {
    ServerProcess server(sandbox_);
    for (const Case& c : cases) {
      const std::string path = install(c);
      for (int round = 0; round <= cached_rounds; ++round) {
        SCOPED_TRACE(std::string(c.name) + ", " +
                     (round == 0 ? "first request (compiles)" : "cached " + std::to_string(round)));
        const bool cold = round == 0;
        if (cold) clear_cache();
        const RunResult cgi = through_cgi(c, path);
        if (cold) clear_cache();
        const FcgiResponse fcgi = through_server(server, c, path);
        EXPECT_TRUE(fcgi.ended);
        // Where the runner wrote nothing the server answers with a bare server error.
        const std::string expected =
            cgi.out.empty() ? "Status: 500 Internal Server Error\r\n\r\n" : cgi.out;
        EXPECT_EQ(without_clock(fcgi.out), without_clock(expected));
        EXPECT_EQ(fcgi.err, cgi.err);
        EXPECT_EQ(fcgi.app_status, static_cast<std::uint32_t>(cgi.exit_code));
      }
    }
    // Only resident processes outlive their requests, and they end with the server.
    const std::vector<pid_t> left = server.children();
    for (pid_t pid : left) EXPECT_EQ(command_of(pid), "zr-resident");
    EXPECT_EQ(server.stop(SIGTERM), 0);
    for (pid_t pid : left) EXPECT_FALSE(process_exists(pid)) << pid;
    return left.size();
  }

  static std::string command_of(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
    std::string name;
    std::getline(in, name, '\0');
    return name;
  }

  // The same request sent by another implementation's client: the FastCGI library's cgi-fcgi,
  // which takes the request's variables from its environment and the body from its input.
  RunResult through_library_client(const ServerProcess& server, const Case& c,
                                   const std::string& path) {
    ChildLaunch launch;
    launch.argv = {kLibraryClient, "-bind", "-connect", server.socket_path()};
    for (const auto& [name, value] : request_params(path, c.params)) {
      launch.env.push_back(name + "=" + value);
    }
    launch.stdin_data = c.body;
    launch.cwd = sandbox_.dir();
    return run_child(launch);
  }

  void clear_cache() {
    for (const std::string& file : sandbox_.cache_files()) std::filesystem::remove_all(file);
  }

  RunnerSandbox sandbox_;
};

const std::string kPlain = "printf 'Content-Type: text/plain\\n\\n'\n";

Params eleven_large_headers() {
  Params headers;
  for (char c = 'a'; c < 'a' + 11; ++c)
    headers.emplace_back(std::string("HTTP_X_") + c, std::string(100000, c));
  return headers;
}

// Cases that both the server's own client and the library's run.
const Case kNoSwitches = {"no switches", "plain", "", kPlain + "echo \"args:$#:$*\"\n", {}, ""};
const Case kBigBody = {"1 MiB body",
                       "big",
                       "-w",
                       kPlain + "/usr/bin/md5sum\n",
                       {{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", "1048576"}},
                       std::string(1 << 20, 'q')};
const Case kLargeOutput = {
    "large output", "large", "-w", kPlain + "/usr/bin/seq 1 200000\n", {}, ""};
const Case kErrorLines = {"error lines",
                          "errors",
                          "-w",
                          kPlain + "echo out\necho oops >&2\necho >&2\nprintf 'last' >&2\n",
                          {},
                          ""};

TEST_F(Parity, ScriptsThroughTheRunnersPhases) {
  const std::string env_dump =
      kPlain + "/usr/bin/env | /usr/bin/sort | /bin/grep -E '^(ZR_|GET_|TAMRIVOLE|SCRIPT_)'\n";
  const std::vector<Case> cases = {
      kNoSwitches,
      {"two switches", "two", "-w -f", kPlain + "echo \"args:$#:$*\"\n", {}, ""},
      {"switches with CR", "crlf", "-w -p\r", kPlain + "echo \"args:$#:$*\"\n", {}, ""},
      {"runner variables and query",
       "vars",
       "-w -c",
       env_dump,
       {{"QUERY_STRING", "a=1&b=two&a=3"}, {"REQUEST_URI", "/vars?a=1&b=two&a=3"}},
       ""},
      {"working directory", "sub/dir/pwd", "-w", kPlain + "/bin/pwd\n", {}, ""},
      {"body of the declared length",
       "body5",
       "-w",
       kPlain + "/usr/bin/od -c\n",
       {{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", "5"}},
       "a=1&b"},
      {"body shorter than CONTENT_LENGTH",
       "short",
       "-w",
       kPlain + "/usr/bin/od -c\n",
       {{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", "10"}},
       "abcd"},
      {"body longer than CONTENT_LENGTH",
       "long",
       "-w",
       kPlain + "/usr/bin/od -c\n",
       {{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", "4"}},
       "abcdefghij"},
      {"negative CONTENT_LENGTH",
       "negative",
       "-w",
       kPlain + "/usr/bin/od -c\n",
       {{"CONTENT_LENGTH", "-1"}},
       "ignored"},
      kBigBody,
      kLargeOutput,
      kErrorLines,
      {"exit code", "exit3", "-w", kPlain + "exit 3\n", {}, ""},
      {"no header at all", "bare", "", "echo just text\n", {}, ""},
      {"eleven headers of 100 KB: more than 1 MiB, within the kernel's limits", "headers", "-w",
       kPlain + "/usr/bin/env | /bin/grep '^HTTP_X' | /usr/bin/md5sum\n", eleven_large_headers(),
       ""},
  };
  compare(cases);
}

TEST_F(Parity, TheLibrarysOwnClientGetsTheSameBytes) {
  if (::access(kLibraryClient, X_OK) != 0) GTEST_SKIP() << kLibraryClient << " is not installed";
  const std::vector<Case> cases = {
      kNoSwitches,
      {"query and switches",
       "query",
       "-w -f -c",
       kPlain + "echo \"$QUERY_STRING:$GET_b:$*\"\n",
       {{"QUERY_STRING", "a=1&b=2"}, {"REQUEST_URI", "/query?a=1&b=2"}},
       ""},
      kBigBody,
      kLargeOutput,
      kErrorLines,
  };
  ServerProcess server(sandbox_);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = install(c);
    const RunResult cgi = through_cgi(c, path);
    const RunResult library = through_library_client(server, c, path);
    EXPECT_EQ(library.exit_code, 0);
    EXPECT_EQ(library.out, cgi.out);
    EXPECT_EQ(library.err, cgi.err);
  }
}

TEST_F(Parity, FailuresOfTheRunnersPhases) {
  sandbox_.set_compiler("#!/bin/sh\necho 'line 3: syntax error'\nexit 1\n");
  compare({
      {"compile error with -w", "bad", "-w", "syntax error here\n", {}, ""},
      {"compile error without -w", "bad2", "", "syntax error here\n", {}, ""},
  });
}

TEST_F(Parity, TheShippedExamples) {
  sandbox_.use_stand_in_compiler();
  sandbox_.write_file("header.html", read_example("header.html"));
  std::vector<Case> cases;
  const struct {
    const char* file;
    Params params;
    std::string body;
  } rows[] = {
      {"hello.zr", {}, ""},
      {"form.zr", {{"QUERY_STRING", "name=joe"}, {"REQUEST_URI", "/form.zr?name=joe"}}, ""},
      {"form.zr",
       {{"REQUEST_METHOD", "POST"},
        {"CONTENT_LENGTH", "16"},
        {"CONTENT_TYPE", "application/x-www-form-urlencoded"}},
       "message=hi+there"},
      {"info.zr", {{"QUERY_STRING", "a=1&b=2"}, {"REQUEST_URI", "/info.zr?a=1&b=2"}}, ""},
      {"heredoc.zr", {{"QUERY_STRING", "name=<b>"}, {"REQUEST_URI", "/heredoc.zr?name=<b>"}}, ""},
  };
  for (const auto& row : rows) {
    const auto [switches, text] = split_example(row.file);
    cases.push_back({row.file, row.file, switches, text, row.params, row.body});
  }
  compare(cases);
}

// Warm requests of the bundled compiler's executables go to resident processes: three cached
// requests per case, each the same bytes as the CGI runner's run of its own.
TEST_F(Parity, ResidentProcessesServeWhatTheRunnerWould) {
  sandbox_.use_stand_in_compiler();
  const std::string header = "Write \"Content-Type: text/plain\" + #LF$ + #LF$\n";
  const std::string failing = header + "Write \"before \"\nWriteError \"to the log\"\nx = 1 / 0\n";
  const std::string variables =
      header +
      "names$ = \"Version ProgramFilename Date QueryStrings ParamForce ParamCompress ParamWarn "
      "ParamParse\"\nFor i = 1 To 8\n  n$ = \"ZR_Interpreter_\" + Field$(names$, i, \" \")\n"
      // Named, so that the date, which may have moved on a second, is compared without it.
      "  WriteLine n$ + \"=\" + Env$(n$)\nNext i\n"
      "WriteLine Env$(\"GET_a\") + Env$(\"GET_b\") + Str$(ArgCount())\n";
  const std::string body = header + "b$ = ReadAll$()\nWriteLine Str$(Len(b$)) + \":\" + " +
                           "Left$(b$, 3) + Mid$(b$, 500000, 4) + Right$(b$, 2)\n";
  const std::string files =
      header +
      "WriteLine Str$(WriteFile(\"data.txt\", \"one\")) + Str$(AppendFile(\"data.txt\", \"two\"))\n"
      "WriteLine ReadFile$(\"data.txt\") + Str$(FileSize(\"data.txt\")) + "
      "Str$(DeleteFile(\"data.txt\")) + Str$(FileExists(\"data.txt\"))\n";
  std::string long_body(1 << 20, 'b');
  long_body.replace(499999, 4, "MIDs");
  const std::vector<Case> cases = {
      {"run-time error with -w", "fails.zr", "-w", failing, {}, ""},
      {"run-time error without -w", "fails2.zr", "", failing, {}, ""},
      {"unflushed output and End",
       "ends.zr",
       "-w",
       header + "Write \"no line end\"\nEnd 3\nWriteLine \"never\"\n",
       {},
       ""},
      {"flushed output before the last",
       "flushes.zr",
       "-w",
       header + "Write \"first \"\nFlush\nWriteError \"between\"\nWrite \"last\"\n",
       {},
       ""},
      {"runner variables",
       "vars.zr",
       "-w -c",
       variables,
       {{"QUERY_STRING", "a=1&b=two"}, {"REQUEST_URI", "/vars.zr?a=1&b=two"}},
       ""},
      {"body shorter than CONTENT_LENGTH",
       "short.zr",
       "-w",
       body,
       {{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", "10"}},
       "abcd"},
      {"1 MiB body",
       "long.zr",
       "-w",
       body,
       {{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", "1048576"}},
       long_body},
      {"large output",
       "large.zr",
       "-w",
       header + "For i = 1 To 200000\n  WriteLine i\nNext i\n",
       {},
       ""},
      {"file functions", "files.zr", "-w", files, {}, ""},
  };
  EXPECT_GT(compare(cases, 3), 0u);
}

}  // namespace
}  // namespace sr::test
