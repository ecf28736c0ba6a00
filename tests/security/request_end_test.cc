// How a request ends when something else ends first: the visitor's body (shorter than announced),
// the compile (out of time while others wait for it), the visitor (gone while the script writes).
// The runner runs under an unprivileged uid when the suite runs as root, else as the current user.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <memory>
#include <thread>

#include "tests/e2e/run_child.h"
#include "tests/e2e/runner_sandbox.h"
#include "tests/security/two_users.h"

namespace sr::test {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

// What /usr/bin/cksum prints for `data`: checksum and length.
std::string checksum_of(const std::string& data) {
  ChildLaunch launch;
  launch.argv = {"/usr/bin/cksum"};
  launch.stdin_data = data;
  return run_child(launch).out;
}

// 512 MiB of address space: plenty for the runner, far too little for the announced length. A
// sanitizer build reserves terabytes of shadow memory up front, so it runs without the cap.
std::vector<std::string> address_space_cap() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return {};
#else
  return {"/usr/bin/prlimit", "--as=536870912", "--"};
#endif
}

class RequestEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    users_ = users_for_slot(500 + static_cast<int>(std::hash<std::string>()(test->name()) % 500));
    hand_over(sandbox_, users_.runner);
  }
  void TearDown() override { remove_tmp_entries_of(users_.runner); }

  std::vector<std::string> runner_argv(const std::vector<std::string>& wrapper = {}) const {
    std::vector<std::string> argv = as_user(users_.runner, 022);
    argv.insert(argv.end(), wrapper.begin(), wrapper.end());
    argv.push_back(sandbox_.runner_path());
    argv.push_back("-w");
    return argv;
  }

  TwoUsers users_{};
  RunnerSandbox sandbox_;
};

// The visitor announced more than it sent and closed. The script reads to the end of its input
// and reports its length and checksum; it must see exactly what was sent, and the runner must not
// reserve the announced amount.
TEST_F(RequestEnd, ShortBodyEndsTheScriptsInputWhereTheVisitorStopped) {
  struct Row {
    const char* name;
    long long announced;
    size_t sent;
  } rows[] = {
      {"99,000 bytes missing", 100'000, 1'000},
      {"1 GB announced, 10 bytes sent", 1'000'000'000, 10},
  };
  const std::string script = sandbox_.write_script("sum.cgi", "exec /usr/bin/cksum\n");
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::string body;
    for (size_t i = 0; i < row.sent; ++i) body += static_cast<char>('a' + i % 26);
    ChildLaunch launch;
    launch.argv = runner_argv(address_space_cap());
    launch.env = {"SCRIPT_FILENAME=" + script, "REQUEST_METHOD=POST",
                  "CONTENT_LENGTH=" + std::to_string(row.announced)};
    launch.cwd = sandbox_.dir();
    launch.stdin_data = body;
    launch.timeout_ms = 30000;
    RunResult result = run_child(launch);
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.out, checksum_of(body)) << "the script saw other bytes than were sent "
                                                "(checksum, then length)";
  }
}

// A compile that runs 6 s is cut at the five-second limit. The requests that waited for it end
// with the same failure at once instead of each compiling again in turn.
TEST_F(RequestEnd, WaitersShareAFailedCompile) {
  constexpr int kRequests = 8;
  const std::string& dir = sandbox_.dir();
  sandbox_.set_compiler("#!/bin/sh\necho x >>'" + dir + "/started'\nexec /bin/sleep 6\n");
  const std::string script = sandbox_.write_script("slow.cgi", "echo GOOD\n");
  std::vector<RunResult> results(kRequests);
  std::vector<Clock::time_point> ended(kRequests);
  std::vector<std::thread> threads;
  for (int i = 0; i < kRequests; ++i) {
    threads.emplace_back([&, i] {
      RunOptions options;
      options.switches = "-w";
      options.env["SCRIPT_FILENAME"] = script;
      options.timeout_ms = 60000;
      results[i] = run_as(sandbox_, users_.runner, 022, options);
      ended[i] = Clock::now();
    });
  }
  for (auto& thread : threads) thread.join();
  const auto first = *std::min_element(ended.begin(), ended.end());
  for (int i = 0; i < kRequests; ++i) {
    SCOPED_TRACE("request " + std::to_string(i));
    EXPECT_NE(results[i].out.find("Compilation process did not finish correctly"),
              std::string::npos)
        << results[i].out;
    EXPECT_EQ(results[i].out, results[0].out) << "every waiter reports the same failure";
    const double after_first = std::chrono::duration<double>(ended[i] - first).count();
    EXPECT_LT(after_first, 6.0) << "answered " << after_first << " s after the first failure";
  }
  const std::string started = RunnerSandbox::read_file(dir + "/started");
  EXPECT_EQ(std::count(started.begin(), started.end(), 'x'), 1) << "the waiters compiled again";

  // Once the script changes, the next request compiles again.
  sandbox_.set_compiler(sandbox_.default_compiler());
  RunnerSandbox::set_mtime(script, time(nullptr) + 100);
  RunOptions options;
  options.switches = "-w";
  options.env["SCRIPT_FILENAME"] = script;
  EXPECT_EQ(run_as(sandbox_, users_.runner, 022, options).out, "GOOD\n");
}

// The visitor closed the connection while the script writes without end. Like a plain CGI
// program, the script must meet a broken pipe (and by default die of SIGPIPE); the runner still
// relays what it writes to its standard error afterwards.
TEST_F(RequestEnd, GoneVisitorStopsTheScript) {
  const std::string script =
      sandbox_.write_script("endless.cgi", "/usr/bin/yes\necho \"output ended: $?\" >&2\n");
  Process runner(runner_argv(), {"SCRIPT_FILENAME=" + script}, sandbox_.dir());
  ASSERT_GE(runner.read_output(65536, seconds(15)), 65536u) << runner.error_text();
  runner.close_output();
  const auto gone = Clock::now();
  const bool stopped = runner.wait_for_error("output ended: ", seconds(5));
  const double took = std::chrono::duration<double>(Clock::now() - gone).count();
  ASSERT_TRUE(stopped) << "the script still wrote " << took
                       << " s after the visitor went away; log: " << runner.error_text();
  EXPECT_LT(took, 1.0) << "the script stopped only " << took << " s after the visitor went away";
  EXPECT_NE(runner.error_text().find("output ended: 141"), std::string::npos)
      << "the script did not die of SIGPIPE; log: " << runner.error_text();
  EXPECT_NE(runner.wait(seconds(5)), -1) << "the runner did not end after its script";
}

// The executable cannot be started (its interpreter line names nothing): the run says so, with
// the system's reason, instead of answering with nothing.
TEST_F(RequestEnd, FailedStartIsReportedWithTheSystemsReason) {
  sandbox_.set_compiler(sandbox_.default_compiler() +
                        "/usr/bin/printf '#!/nonexistent/shell\\n' >\"$3.t\"\n"
                        "/bin/chmod 700 \"$3.t\" && /bin/mv -f \"$3.t\" \"$3\"\n");
  const std::string script = sandbox_.write_script("s.cgi", "echo GOOD\n");
  RunOptions options;
  options.switches = "-w";
  options.env["SCRIPT_FILENAME"] = script;
  RunResult result = run_as(sandbox_, users_.runner, 022, options);
  const std::string message =
      "The compiled program cannot be started: " + RunnerSandbox::cache_path(script);
  EXPECT_EQ(result.out, warn_page(message));
  EXPECT_EQ(result.err, message + "\nNo such file or directory\n");
}

}  // namespace
}  // namespace sr::test
