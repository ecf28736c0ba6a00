// Requests that misbehave or meet a misbehaving client: scripts that must not run, aborts,
// clients that stop reading or go away, scripts that ignore SIGTERM, too many requests at once;
// and what a burst leaves behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <sys/resource.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <thread>
#include <vector>

#include "fcgi/params.h"
#include "fcgi/record.h"
#include "tests/fcgi/fcgi_client.h"
#include "tests/fcgi/server_process.h"
#include "tests/security/two_users.h"

namespace sr::test {
namespace {

using namespace sr::fcgi;

const std::string kHeader = "Content-Type: text/plain\n\n";
// What a request that wrote nothing is answered with.
const std::string kServerError = "Status: 500 Internal Server Error\r\n\r\n";

pid_t read_pid(const std::string& path) {
  if (!wait_for_file(path)) return -1;
  std::string text;
  for (int i = 0; i < 100 && text.find('\n') == std::string::npos; ++i) {
    text = RunnerSandbox::read_file(path);
    if (text.find('\n') == std::string::npos)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return text.empty() ? -1 : static_cast<pid_t>(std::stol(text));
}

FcgiResponse request_on_kept(FcgiClient& client, const std::string& script,
                             const std::string& query, const std::string& body) {
  client.begin(1, 1, /*keep_conn=*/true);
  client.params(1, request_params(script, {{"QUERY_STRING", query},
                                           {"REQUEST_METHOD", "POST"},
                                           {"CONTENT_LENGTH", std::to_string(body.size())}}));
  if (!body.empty()) client.body(1, body);
  client.body_end(1);
  return client.read_response(1);
}

TEST(FcgiHostile, FilesThatAreNotScriptsForTheRunnerGetOneLineAndAServerError) {
  RunnerSandbox sandbox;
  std::filesystem::create_directory(sandbox.dir() + "/folder");
  ASSERT_EQ(mkfifo((sandbox.dir() + "/fifo").c_str(), 0755), 0);
  const std::string runner_line = "#!" + sandbox.runner_path() + " -w\n";
  const struct {
    const char* name;
    std::string path;
    std::string message;
  } rows[] = {
      {"not executable", sandbox.write_file("upload.txt", runner_line + "echo hi\n", 0644),
       "The script is not executable: "},
      {"foreign shebang", sandbox.write_file("shell", "#!/bin/sh\necho hi\n", 0755),
       "The script's first line does not name scriptrunner: "},
      {"text without shebang", sandbox.write_file("text", "echo hi\n", 0755),
       "The script's first line does not name scriptrunner: "},
      {"directory", sandbox.dir() + "/folder", "The script is not a regular file: "},
      {"named pipe", sandbox.dir() + "/fifo", "The script is not a regular file: "},
      {"missing", sandbox.dir() + "/missing", "The script cannot be found: "},
      // Taken from the server's folder, a relative name would have the compiler look for the
      // script's include files there.
      {"relative path", "upload.txt", "The script's path is not absolute: "},
  };
  ServerProcess server(sandbox);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const FcgiResponse r = fcgi_request(server.socket_path(), request_params(row.path), "", 10000);
    ASSERT_TRUE(r.ended);
    EXPECT_EQ(r.out, kServerError);
    EXPECT_EQ(r.err, row.message + row.path + "\n");
  }
  SCOPED_TRACE("a line break in the name");
  const FcgiResponse forged = fcgi_request(
      server.socket_path(), request_params(sandbox.dir() + "/x\nscriptrunner-fcgi: forged"));
  EXPECT_EQ(forged.err,
            "The script cannot be found: " + sandbox.dir() + "/x\\x0Ascriptrunner-fcgi: forged\n");
  EXPECT_EQ(sandbox.compile_count(), 0);
  EXPECT_TRUE(sandbox.cache_files().empty());
}

// A web server may pass a response without any header on as an empty success page; a failure
// must reach the visitor as one, and the error line still reaches the log.
TEST(FcgiHostile, ARequestThatWritesNothingIsAnsweredWithAServerError) {
  RunnerSandbox sandbox;
  const std::string quiet = "#!" + sandbox.runner_path() + "\n";
  const struct {
    const char* name;
    std::string path;
    std::string out;
  } rows[] = {
      {"script that writes nothing", sandbox.write_file("silent", quiet + "exit 0\n", 0755),
       kServerError},
      {"failing script that writes nothing", sandbox.write_file("fails", quiet + "exit 4\n", 0755),
       kServerError},
      {"output without a header is passed on as it is",
       sandbox.write_file("bare", quiet + "printf x\n", 0755), "x"},
      {"a header alone is passed on as it is",
       sandbox.write_file("header", quiet + "printf 'Status: 204\\n\\n'\n", 0755),
       "Status: 204\n\n"},
  };
  ServerProcess server(sandbox);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const FcgiResponse r = fcgi_request(server.socket_path(), request_params(row.path));
    ASSERT_TRUE(r.ended);
    EXPECT_EQ(r.out, row.out);
  }
  SCOPED_TRACE("compile error without -w");
  sandbox.set_compiler("#!/bin/sh\necho 'line 1: syntax error'\nexit 1\n");
  const FcgiResponse r = fcgi_request(
      server.socket_path(), request_params(sandbox.write_file("bad", quiet + "oops\n", 0755)));
  ASSERT_TRUE(r.ended);
  EXPECT_EQ(r.out, kServerError);
  EXPECT_NE(r.err.find("line 1: syntax error"), std::string::npos) << r.err;
}

TEST(FcgiHostile, OutputStreamsWhileTheScriptStillRuns) {
  RunnerSandbox sandbox;
  const std::string script = served_script(
      sandbox, "stream",
      "printf 'Content-Type: text/plain\\n\\nfirst\\n'\nread line\necho \"got $line\"\n");
  ServerProcess server(sandbox);
  FcgiClient client(server.socket_path());
  client.begin(1);
  client.params(1, request_params(script, {{"CONTENT_LENGTH", "3"}}));
  std::string seen;
  while (seen.find("first\n") == std::string::npos) {
    std::optional<RawRecord> record = client.read_record(10000);
    ASSERT_TRUE(record) << "the first line did not arrive before the script could end";
    ASSERT_NE(record->type, kEndRequest);
    seen += record->content;
  }
  client.body(1, "go\n");
  client.body_end(1);
  const FcgiResponse rest = client.read_response(1);
  EXPECT_EQ(seen + rest.out, kHeader + "first\ngot go\n");
}

TEST(FcgiHostile, AbortMidBodyAndMidOutputEndTheRequestAndTheScript) {
  RunnerSandbox sandbox;
  const std::string reader = served_script(
      sandbox, "reader", "echo $$ > \"$PID_FILE\"\n/bin/cat > /dev/null\necho never\n");
  const std::string writer =
      served_script(sandbox, "writer",
                    "echo $$ > \"$PID_FILE\"\nprintf 'Content-Type: text/plain\\n\\n'\n"
                    "while :; do echo xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx; done\n");
  ServerProcess server(sandbox);
  const struct {
    const char* name;
    std::string script;
    bool mid_output;
  } rows[] = {{"mid-body", reader, false}, {"mid-output", writer, true}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string pid_file = sandbox.dir() + "/" + row.name + ".pid";
    FcgiClient client(server.socket_path());
    client.begin(1, 1, /*keep_conn=*/true);
    client.params(1, request_params(row.script, {{"PID_FILE", pid_file},
                                                 {"REQUEST_METHOD", "POST"},
                                                 {"CONTENT_LENGTH", "100000"}}));
    client.body(1, std::string(1000, 'b'));
    const pid_t script = read_pid(pid_file);
    ASSERT_GT(script, 0);
    if (row.mid_output) {
      std::optional<RawRecord> some = client.read_record();
      ASSERT_TRUE(some);
      EXPECT_EQ(some->type, kStdout);
    }
    client.abort(1);
    const FcgiResponse r = client.read_response(1);
    EXPECT_TRUE(r.ended);
    EXPECT_EQ(r.protocol_status, kRequestComplete);
    EXPECT_EQ(r.out.find("never"), std::string::npos);
    EXPECT_TRUE(gone(script));
    EXPECT_TRUE(server.wait_for_children(0));
  }
}

TEST(FcgiHostile, AVisitorWhoGoesAwayStopsTheScript) {
  RunnerSandbox sandbox;
  const std::string script =
      served_script(sandbox, "forever",
                    "echo $$ > \"$PID_FILE\"\nprintf 'Content-Type: text/plain\\n\\n'\n"
                    "while :; do echo tick; /bin/sleep 0.05; done\n");
  ServerProcess server(sandbox);
  const std::string pid_file = sandbox.dir() + "/forever.pid";
  pid_t pid;
  {
    FcgiClient client(server.socket_path());
    client.begin(1);
    client.params(1, request_params(script, {{"PID_FILE", pid_file}}));
    client.body_end(1);
    pid = read_pid(pid_file);
    ASSERT_TRUE(client.read_record());
  }
  EXPECT_TRUE(gone(pid));
  EXPECT_TRUE(server.wait_for_children(0));
}

TEST(FcgiHostile, AClientThatStopsReadingHoldsTheScriptNotTheServersMemory) {
  RunnerSandbox sandbox;
  constexpr long kResponse = 64 << 20;
  const std::string script =
      served_script(sandbox, "flood",
                    "printf 'Content-Type: text/plain\\n\\n'\n/usr/bin/head -c " +
                        std::to_string(kResponse) + " /dev/zero\n");
  ServerProcess server(sandbox);
  const long before = server.resident_kib();
  FcgiClient client(server.socket_path());
  client.begin(1);
  client.params(1, request_params(script));
  client.body_end(1);
  ASSERT_TRUE(server.wait_for_children(1));
  // Time for an unbounded server to take in much of the 64 MiB.
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const long stalled = server.resident_kib();
  EXPECT_LT(stalled - before, 8 * 1024)
      << "resident KiB before " << before << ", stalled " << stalled;
  const FcgiResponse r = client.read_response(1, 60000);
  ASSERT_TRUE(r.ended);
  EXPECT_EQ(r.out.size(), kHeader.size() + kResponse);
  EXPECT_EQ(r.out.find_first_not_of('\0', kHeader.size()), std::string::npos);
  // AddressSanitizer holds freed memory in quarantine: the resident size says nothing there.
#ifndef __SANITIZE_ADDRESS__
  EXPECT_LT(server.resident_kib() - before, 8 * 1024);
#endif
}

// A page that never reads its body is answered while the web server still sends the body; the
// server must read the rest before it closes (closing with it unread resets the connection,
// and the web server loses the response), and on a kept connection serve the next request.
TEST(FcgiHostile, TheUnreadBodyOfAnAnsweredRequestIsReadBeforeTheConnectionEnds) {
  RunnerSandbox sandbox;
  const std::string script =
      served_script(sandbox, "unread", "printf 'Content-Type: text/plain\\n\\nunread\\n'\n");
  ServerProcess server(sandbox, {}, Listen::tcp);
  const std::string body(1 << 20, 'b');
  for (const bool keep_conn : {false, true}) {
    SCOPED_TRACE(keep_conn ? "kept connection" : "connection that closes");
    FcgiClient client(server.socket_path());
    client.begin(1, 1, keep_conn);
    client.params(1, request_params(script, {{"REQUEST_METHOD", "POST"},
                                             {"CONTENT_LENGTH", std::to_string(body.size())}}));
    client.body(1, body.substr(0, 1000));
    const FcgiResponse r = client.read_response(1);
    ASSERT_TRUE(r.ended);
    EXPECT_EQ(r.out, kHeader + "unread\n");
    EXPECT_TRUE(client.body(1, body.substr(1000)));
    EXPECT_TRUE(client.body_end(1));
    if (keep_conn) {
      EXPECT_EQ(request_on_kept(client, script, "", "").out, kHeader + "unread\n");
    } else {
      EXPECT_TRUE(client.wait_for_close());
      EXPECT_FALSE(client.reset()) << "closed with the body unread";
    }
  }
}

TEST(FcgiHostile, TimeOutKillsAScriptThatIgnoresSigtermWithItsProcessGroup) {
  RunnerSandbox sandbox;
  const std::string script =
      served_script(sandbox, "stubborn",
                    "trap '' TERM\n/bin/sleep 300 &\necho $! > \"$PID_FILE.child\"\n"
                    "echo $$ > \"$PID_FILE\"\nprintf 'Content-Type: text/plain\\n\\npartial\\n'\n"
                    "while :; do /bin/sleep 1; done\n");
  ServerProcess server(sandbox, {"--timeout", "1"});
  const std::string pid_file = sandbox.dir() + "/stubborn.pid";
  const FcgiResponse r = fcgi_request(server.socket_path(),
                                      request_params(script, {{"PID_FILE", pid_file}}), "", 20000);
  ASSERT_TRUE(r.ended);
  EXPECT_EQ(r.out, kHeader + "partial\n");
  EXPECT_EQ(r.err, "The script was stopped at the time-out of 1 s.\n");
  EXPECT_TRUE(gone(read_pid(pid_file)));
  EXPECT_TRUE(gone(read_pid(pid_file + ".child")));
  EXPECT_TRUE(server.wait_for_children(0));
  EXPECT_NE(server.log().find("timed out after 1 s"), std::string::npos) << server.log();
}

// A server whose only child is taken by a request that runs until release() sends its body, and
// a quick script for the requests that must wait.
struct OnlyChildTaken {
  OnlyChildTaken() {
    const std::string slow =
        served_script(sandbox, "slow", "printf 'Content-Type: text/plain\\n\\n'\n/bin/cat\n");
    first.begin(1);
    first.params(1, request_params(slow, {{"CONTENT_LENGTH", "4"}}));
    taken = server.wait_for_children(1);
  }
  // Lets the first request end; its response.
  std::string release() {
    first.body(1, "done");
    first.body_end(1);
    return first.read_response(1).out;
  }

  RunnerSandbox sandbox;
  const std::string quick =
      served_script(sandbox, "quick", "printf 'Content-Type: text/plain\\n\\nquick\\n'\n");
  ServerProcess server{sandbox, {"--max-children", "1", "--status-path", "/status"}};
  FcgiClient first{server.socket_path()};
  bool taken = false;
};

// The server's status page as plain text, with the running requests.
std::string status_page(const ServerProcess& server) {
  FcgiClient client(server.socket_path());
  client.begin(1);
  client.params(1, request_params("/status", {{"QUERY_STRING", "full"}}));
  client.body_end(1);
  return client.read_response(1).out;
}

TEST(FcgiHostile, RequestsBeyondMaxChildrenWaitTheirTurn) {
  OnlyChildTaken held;
  ASSERT_TRUE(held.taken);
  FcgiClient second(held.server.socket_path());
  ASSERT_TRUE(second.connected());
  second.begin(1);
  second.params(1, request_params(held.quick));
  second.body_end(1);
  // While the first request holds the only child, the second gets nothing.
  EXPECT_FALSE(second.read_record(500));
  EXPECT_EQ(held.server.children().size(), 1u);
  EXPECT_EQ(held.release(), kHeader + "done");
  EXPECT_EQ(second.read_response(1).out, kHeader + "quick\n");
}

// The server answers its own page at once while its only child is busy, and counts the request
// that waits for the child, and its abort.
TEST(FcgiHostile, TheStatusPageAnswersWhileEveryChildIsBusy) {
  OnlyChildTaken held;
  ASSERT_TRUE(held.taken);
  FcgiClient waiting(held.server.socket_path());
  waiting.begin(1);
  waiting.params(1, request_params(held.quick));
  std::string page;
  for (int i = 0; i < 500 && page.find("waiting requests: 1\n") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    page = status_page(held.server);
  }
  for (const std::string& line :
       std::vector<std::string>{"active processes: 1\n", "waiting requests: 1\n",
                                "max children reached: 1\n", "running requests: 2\n", " running   ",
                                "/slow\n", "-        waiting   ", held.quick + "\n"}) {
    EXPECT_NE(page.find(line), std::string::npos) << line << " in:\n" << page;
  }
  waiting.abort(1);
  EXPECT_TRUE(waiting.read_response(1).ended);
  page = status_page(held.server);
  EXPECT_NE(page.find("requests aborted: 1\nactive processes: 1\n"), std::string::npos) << page;
  EXPECT_NE(page.find("waiting requests: 0\nmax waiting requests: 1\n"), std::string::npos);
  EXPECT_EQ(held.release(), kHeader + "done");
}

// Two kept connections that each send their next request while the other's runs always have a
// request waiting when the only child frees; a connection opened meanwhile must still get its
// turn, not wait behind them for as long as they keep sending.
TEST(FcgiHostile, AConnectionOpenedWhileKeptOnesAreBusyIsServedInItsTurn) {
  RunnerSandbox sandbox;
  // Runs until the test ends its body; marks its start with a file named after X_STEP.
  const std::string held = served_script(sandbox, "held",
                                         "printf 'Content-Type: text/plain\\n\\n'\ntouch \"" +
                                             sandbox.dir() + "/started-$X_STEP\"\n/bin/cat\n");
  const std::string quick =
      served_script(sandbox, "quick", "printf 'Content-Type: text/plain\\n\\nquick\\n'\n");
  ServerProcess server(sandbox, {"--max-children", "1"});
  FcgiClient a(server.socket_path());
  FcgiClient c(server.socket_path());
  // Both kept connections are accepted before the child is taken.
  for (FcgiClient* kept : {&a, &c}) {
    std::string asked, records;
    append_name_value(asked, "FCGI_MAX_REQS", "");
    append_record(records, kGetValues, 0, asked);
    kept->send_raw(records);
    ASSERT_TRUE(kept->read_record());
  }
  auto send_held = [&](FcgiClient& client, const std::string& step) {
    client.begin(1, 1, /*keep_conn=*/true);
    // A declared body keeps the script reading until the body's end comes.
    client.params(1, request_params(held, {{"X_STEP", step}, {"CONTENT_LENGTH", "1"}}));
  };
  send_held(a, "a1");
  ASSERT_TRUE(wait_for_file(sandbox.dir() + "/started-a1"));
  send_held(c, "c1");
  FcgiClient b(server.socket_path());
  ASSERT_TRUE(b.connected());
  b.begin(1);
  b.params(1, request_params(quick));
  b.body_end(1);
  // The kept connections take turns; each sends its next request as soon as one ends.
  const struct {
    FcgiClient* client;
    const char* step;
    const char* next;
  } turns[] = {{&a, "a1", "a2"}, {&c, "c1", "c2"}, {&a, "a2", "a3"}, {&c, "c2", "c3"}};
  for (const auto& turn : turns) {
    SCOPED_TRACE(turn.step);
    ASSERT_TRUE(wait_for_file(sandbox.dir() + "/started-" + turn.step));
    turn.client->body_end(1);
    const FcgiResponse r = turn.client->read_response(1);
    ASSERT_TRUE(r.ended);
    EXPECT_EQ(r.out, kHeader);
    send_held(*turn.client, turn.next);
  }
  // By the time the kept connection's third request runs, the new one was answered: its end was
  // written before that request started.
  ASSERT_TRUE(wait_for_file(sandbox.dir() + "/started-a3"));
  const FcgiResponse answered = b.read_response(1, 5000);
  EXPECT_TRUE(answered.ended) << "the new connection waited behind the kept ones";
  EXPECT_EQ(answered.out, kHeader + "quick\n");
  for (FcgiClient* kept : {&a, &c}) kept->body_end(1);
  EXPECT_TRUE(a.read_response(1).ended);
  EXPECT_TRUE(c.read_response(1).ended);
}

// Waiting requests hold connections, so their number is bounded: the rest stay in the listen
// backlog, and every one is served in the end.
TEST(FcgiHostile, WaitingConnectionsAreBoundedAndAllServed) {
  OnlyChildTaken held;
  ASSERT_TRUE(held.taken);
  // Counted once the running request's start, which holds descriptors for a moment, is over.
  int busy = held.server.descriptor_count();
  for (int unchanged = 0, i = 0; unchanged < 10 && i < 500; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const int now = held.server.descriptor_count();
    unchanged = now == busy ? unchanged + 1 : 0;
    busy = now;
  }
  constexpr int kWaiting = 40;
  // 16 connections per child, the running request's included.
  constexpr int kHeld = 16 - 1;
  std::vector<std::unique_ptr<FcgiClient>> waiting;
  for (int i = 0; i < kWaiting; ++i) {
    waiting.push_back(std::make_unique<FcgiClient>(held.server.socket_path()));
    ASSERT_TRUE(waiting.back()->connected());
    waiting.back()->begin(1);
    waiting.back()->params(1, request_params(held.quick));
    waiting.back()->body_end(1);
  }
  // `busy` may include a descriptor of the running request's start that is closed since.
  for (int i = 0; i < 1000 && held.server.descriptor_count() < busy + kHeld - 1; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_GE(held.server.descriptor_count(), busy + kHeld - 1);
  EXPECT_LE(held.server.descriptor_count(), busy + kHeld);
  EXPECT_EQ(held.release(), kHeader + "done");
  for (int i = 0; i < kWaiting; ++i) {
    SCOPED_TRACE("waiting connection " + std::to_string(i));
    const FcgiResponse r = waiting[i]->read_response(1);
    ASSERT_TRUE(r.ended);
    EXPECT_EQ(r.out, kHeader + "quick\n");
  }
}

// Connections that take a place and send no request (nothing at all, a params record a byte at
// a time, nothing more on a kept connection) must not keep out a web server's request: idle
// ones make room for new ones and are closed at the request read time-out.
TEST(FcgiHostile, ConnectionsThatSendNoRequestDoNotKeepOutOneThatDoes) {
  rlimit files{};
  ::getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = std::max<rlim_t>(files.rlim_cur, std::min<rlim_t>(files.rlim_max, 4096));
  ::setrlimit(RLIMIT_NOFILE, &files);
  RunnerSandbox sandbox;
  const std::string quick =
      served_script(sandbox, "quick", "printf 'Content-Type: text/plain\\n\\nquick\\n'\n");
  ServerProcess server(sandbox, {"--max-children", "2", "--request-read-timeout", "3"});
  ASSERT_EQ(fcgi_request(server.socket_path(), request_params(quick)).out, kHeader + "quick\n");
  enum class Kind { silent, trickle, kept };
  // 16 connections per child are held: as many kept ones as there are places.
  const struct {
    const char* name;
    Kind kind;
    int count;
  } rows[] = {
      {"silent", Kind::silent, 500}, {"trickle", Kind::trickle, 500}, {"kept", Kind::kept, 32}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<std::unique_ptr<FcgiClient>> hostile;
    std::string params;
    append_record(params, kParams, 1, std::string(64, 'p'));
    for (int i = 0; i < row.count; ++i) {
      hostile.push_back(std::make_unique<FcgiClient>(server.socket_path()));
      if (row.kind == Kind::trickle) {
        hostile.back()->begin(1);
        hostile.back()->send_raw(params.substr(0, 9));
      }
      if (row.kind == Kind::kept) {
        ASSERT_EQ(request_on_kept(*hostile.back(), quick, "", "").out, kHeader + "quick\n");
      }
    }
    std::atomic<bool> done = false;
    std::thread trickler([&] {
      for (std::size_t at = 9; !done && row.kind == Kind::trickle && at < params.size(); ++at) {
        for (auto& client : hostile) client->send_raw(params.substr(at, 1));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
      }
    });
    const auto start = std::chrono::steady_clock::now();
    const FcgiResponse r = fcgi_request(server.socket_path(), request_params(quick), "", 20000);
    const auto waited = std::chrono::steady_clock::now() - start;
    done = true;
    trickler.join();
    EXPECT_TRUE(r.ended) << "not served while " << row.count << " connections were " << row.name;
    EXPECT_EQ(r.out, kHeader + "quick\n");
    std::cout << "[ latency  ] during " << row.count << " " << row.name << " connections: "
              << std::chrono::duration_cast<std::chrono::milliseconds>(waited).count() << " ms\n";
    if (row.kind != Kind::kept) {
      EXPECT_TRUE(hostile.back()->wait_for_close(10000));
    }
  }
  EXPECT_NE(server.log().find("no whole request within 3 s; connection closed"), std::string::npos)
      << server.log();
}

// A hang-up (a closed terminal, a supervisor's reload) stops the server as TERM does.
TEST(FcgiHostile, SigtermLetsTheRunningRequestFinishThenExits) {
  for (const int signal : {SIGTERM, SIGHUP}) {
    SCOPED_TRACE(strsignal(signal));
    RunnerSandbox sandbox;
    const std::string script =
        served_script(sandbox, "slow", "printf 'Content-Type: text/plain\\n\\n'\n/bin/cat\n");
    ServerProcess server(sandbox);
    FcgiClient idle(server.socket_path());
    FcgiClient client(server.socket_path());
    client.begin(1);
    client.params(1, request_params(script, {{"CONTENT_LENGTH", "3"}}));
    ASSERT_TRUE(server.wait_for_children(1));
    ::kill(server.pid(), signal);
    // The idle connection is closed and no new one is taken.
    EXPECT_TRUE(idle.wait_for_close());
    EXPECT_FALSE(FcgiClient(server.socket_path()).connected());
    client.body(1, "end");
    client.body_end(1);
    EXPECT_EQ(client.read_response(1).out, kHeader + "end");
    const int status = server.stop(0);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(server.log().find("scripts run as root") != std::string::npos, ::geteuid() == 0);
  }
}

// Every process the server starts, the runner and a cached executable alike, gets the limit,
// and a script of a server that is not root cannot lift it.
TEST(FcgiHostile, TheMemoryLimitBoundsEveryProcessTheServerStarts) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's runtime does not start within a memory limit";
#endif
  RunnerSandbox sandbox;
  const uid_t uid = users_for_slot(1000).runner;
  hand_over(sandbox, uid);
  const std::string script =
      served_script(sandbox, "limits",
                    "printf 'Content-Type: text/plain\\n\\n'\n/bin/grep 'address space' "
                    "/proc/$$/limits\nulimit -v unlimited 2>/dev/null && echo lifted\n");
  {
    ServerProcess server(sandbox, {"--memory-limit", "300"}, Listen::unix_path, as_user(uid, 022));
    for (const char* round : {"through the runner", "warm"}) {
      SCOPED_TRACE(round);
      const FcgiResponse r = fcgi_request(server.socket_path(), request_params(script));
      EXPECT_NE(r.out.find("314572800            314572800"), std::string::npos) << r.out;
      EXPECT_EQ(r.out.find("lifted"), std::string::npos) << r.out;
    }
    EXPECT_EQ(server.log().find("scripts run as root"), std::string::npos) << server.log();
  }
  remove_tmp_entries_of(uid);
}

// The runner's own variables in a request would turn on its modes (an error page for every
// failure) or move its home; they reach neither the runner nor the script, warm or not.
TEST(FcgiHostile, TheWorkerSeesTheParamsAndEnvOptionsOnly) {
  RunnerSandbox sandbox;
  const std::string script = sandbox.write_file(
      "env",
      "#!" + sandbox.runner_path() +
          "\nprintf 'Content-Type: text/plain\\n\\n'\n/usr/bin/env | /usr/bin/sort\n",
      0755);
  ServerProcess server(sandbox, {"--env", "SITE=one=two", "--env", "X_FROM_REQUEST=server", "--env",
                                 "ZR_Interpreter_FromServer=kept"});
  const Params injected = {{"X_FROM_REQUEST", "request"},
                           {"ZR_Interpreter_ParamWarn", "1"},
                           {"ZR_Interpreter_Injected", "request"},
                           {"TAMRIVOLE_HOME", "/tmp/injected"}};
  for (const char* round : {"compiles", "warm"}) {
    SCOPED_TRACE(round);
    const FcgiResponse r = fcgi_request(server.socket_path(), request_params(script, injected));
    EXPECT_NE(r.out.find("\nSITE=one=two\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\nX_FROM_REQUEST=server\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\nZR_Interpreter_FromServer=kept\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\nSCRIPT_FILENAME=" + script + "\n"), std::string::npos);
    EXPECT_EQ(r.out.find("SERVER_ONLY"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("ZR_Interpreter_ParamWarn=1"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("ZR_Interpreter_Injected"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("/tmp/injected"), std::string::npos) << r.out;
  }
}

// The server was started with its log file open on a descriptor of its own (the test's start
// leaves it there, as a careless service manager might); neither that nor any socket or pipe of
// the server may reach a script, whether the runner starts it or the server does.
TEST(FcgiHostile, NoDescriptorOfTheServerReachesAScript) {
  RunnerSandbox sandbox;
  const std::string script = served_script(
      sandbox, "fds",
      "printf 'Content-Type: text/plain\\n\\n'\nfor f in /proc/$$/fd/*; do echo \"${f##*/} "
      "$(readlink $f)\"; done\n");
  ServerProcess server(sandbox);
  for (const char* round : {"compiles", "warm"}) {
    SCOPED_TRACE(round);
    const FcgiResponse r = fcgi_request(server.socket_path(), request_params(script));
    ASSERT_TRUE(r.ended);
    EXPECT_NE(r.out.find("\n0 pipe:"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("server.log"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("socket:"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("anon_inode:"), std::string::npos) << r.out;
  }
}

TEST(FcgiHostile, ABurstLeavesNoChildDescriptorOrFileBehind) {
  RunnerSandbox sandbox;
  const std::string script = served_script(
      sandbox, "burst", "printf 'Content-Type: text/plain\\n\\n%s:' \"$QUERY_STRING\"\n/bin/cat\n");
  const std::string forced = sandbox.write_file(
      "forced", "#!" + sandbox.runner_path() + " -w -f\nprintf 'Content-Type: text/plain\\n\\n'\n",
      0755);
  ServerProcess server(sandbox, {"--max-children", "4"});
  // One warm-up, so that the cached executable exists before the descriptors are counted.
  ASSERT_EQ(fcgi_request(server.socket_path(), request_params(script)).out, kHeader + ":");
  const std::vector<std::string> files_after_warm_up = sandbox.cache_files();
  const int descriptors = server.descriptor_count();
  constexpr int kClients = 8;
  constexpr int kRequestsEach = 6;
  std::vector<std::string> failures(kClients);
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      FcgiClient client(server.socket_path());
      for (int i = 0; i < kRequestsEach; ++i) {
        const std::string query = std::to_string(c) + "-" + std::to_string(i);
        const std::string body(static_cast<std::size_t>(c * 7000 + i), 'z');
        const bool forced_run = i == 2;
        const FcgiResponse r = request_on_kept(client, forced_run ? forced : script, query, body);
        const std::string expected = forced_run ? kHeader : kHeader + query + ":" + body;
        if (!r.ended || r.out != expected) failures[c] += query + " ";
      }
    });
  }
  for (auto& thread : clients) thread.join();
  for (int c = 0; c < kClients; ++c) EXPECT_EQ(failures[c], "") << "client " << c;
  EXPECT_TRUE(server.wait_for_children(0));
  EXPECT_TRUE(server.wait_for_descriptors_at_most(descriptors))
      << server.descriptor_count() << " descriptors, " << descriptors << " before the burst";
  EXPECT_EQ(sandbox.cache_files(), files_after_warm_up);
}

}  // namespace
}  // namespace sr::test
