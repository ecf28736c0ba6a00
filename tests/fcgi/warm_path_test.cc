// A warm request: the server makes the runner's checks and exports itself and starts the cached
// executable as its own child. What that path must still do as the runner does, where it must
// leave the request to the runner, and what a script can no longer do to the server through it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fcgi/record.h"
#include "tests/fcgi/fcgi_client.h"
#include "tests/fcgi/server_process.h"

namespace sr::test {
namespace {

const std::string kHeader = "printf 'Content-Type: text/plain\\n\\n'\n";

// The number after `name=` in `text`, -1 when there is none.
long number_after(const std::string& text, const std::string& name) {
  const std::size_t at = text.find(name + "=");
  if (at == std::string::npos) return -1;
  return std::stol(text.substr(at + name.size() + 1));
}

TEST(FcgiWarmPath, AWarmRequestRunsTheExecutableAsTheServersOwnChild) {
  RunnerSandbox sandbox;
  const std::string script = served_script(sandbox, "parent", kHeader + "echo parent=$PPID\n");
  ServerProcess server(sandbox);
  const FcgiResponse cold = fcgi_request(server.socket_path(), request_params(script));
  const FcgiResponse warm = fcgi_request(server.socket_path(), request_params(script));
  ASSERT_TRUE(cold.ended && warm.ended) << cold.err << warm.err;
  // The first request compiles: the runner starts the script. The next one finds it current.
  EXPECT_NE(number_after(cold.out, "parent"), server.pid()) << cold.out;
  EXPECT_EQ(number_after(warm.out, "parent"), server.pid()) << warm.out;
  EXPECT_EQ(sandbox.compile_count(), 1);
}

TEST(FcgiWarmPath, ATimeZoneOtherThanTheServersIsLeftToTheRunner) {
  RunnerSandbox sandbox;
  const std::string script = served_script(
      sandbox, "date", kHeader + "echo parent=$PPID\necho date=$ZR_Interpreter_Date\n");
  // UTC+14: the date of a server whose own clock is read in another zone would be 14 hours off.
  const std::string zone = "Etc/GMT-14";
  ServerProcess server(sandbox, {"--env", "TZ=" + zone});
  const RunResult cgi = sandbox.run_script(script, "-w", {{"TZ", zone}});
  fcgi_request(server.socket_path(), request_params(script));
  const FcgiResponse warm = fcgi_request(server.socket_path(), request_params(script));
  ASSERT_TRUE(warm.ended);
  EXPECT_NE(number_after(warm.out, "parent"), server.pid()) << warm.out;
  const long served = number_after(warm.out, "date");
  const long expected = number_after(cgi.out, "date");
  ASSERT_GT(expected, 0) << cgi.out << cgi.err;
  // The two runs are apart by the time they took, not by hours.
  EXPECT_LT(std::abs(served - expected), 600) << warm.out << cgi.out;
}

TEST(FcgiWarmPath, AnExecutableThatCannotStartIsReportedAsTheRunnerReportsIt) {
  RunnerSandbox sandbox;
  const std::string script = served_script(sandbox, "broken", kHeader + "echo fine\n");
  ServerProcess server(sandbox);
  ASSERT_EQ(fcgi_request(server.socket_path(), request_params(script)).out,
            "Content-Type: text/plain\n\nfine\n");
  // Still ours, owner-only and newer than the script, so it passes as current; but neither a
  // program nor a "#!" file, so the system refuses to start it.
  const std::string executable = RunnerSandbox::cache_path(script);
  std::ofstream(executable, std::ios::trunc) << "not a program\n";
  const RunResult cgi = sandbox.run_script(script);
  ASSERT_NE(cgi.err.find("The compiled program cannot be started: " + executable),
            std::string::npos)
      << cgi.err;
  const FcgiResponse served = fcgi_request(server.socket_path(), request_params(script));
  ASSERT_TRUE(served.ended);
  EXPECT_EQ(served.out, cgi.out);
  EXPECT_EQ(served.err, cgi.err);
}

// Reads one request's response, but no more than `limit` bytes of it: the end, or why not.
struct BoundedResponse {
  std::string start;  // its first bytes of output
  std::size_t size = 0;
  bool ended = false;
};

BoundedResponse read_bounded(const std::string& socket, const std::string& script,
                             std::size_t limit) {
  FcgiClient client(socket);
  client.begin(1);
  client.params(1, request_params(script));
  client.body_end(1);
  BoundedResponse response;
  while (response.size < limit) {
    const std::optional<RawRecord> record = client.read_record();
    if (!record) break;
    if (record->type == sr::fcgi::kEndRequest) {
      response.ended = true;
      break;
    }
    response.size += record->content.size();
    if (record->type == sr::fcgi::kStdout && response.start.size() < 64) {
      response.start += record->content.substr(0, 64);
    }
  }
  return response;
}

TEST(FcgiWarmPath, ADescendantThatKeepsWritingDoesNotHoldTheResponse) {
  RunnerSandbox sandbox;
  const std::string pid_file = sandbox.dir() + "/descendant.pid";
  // The descendant inherits the script's output and keeps its pipe full until it is killed.
  const std::string script =
      served_script(sandbox, "descendant",
                    kHeader + "echo before\n/bin/cat /dev/zero &\necho $! > " + pid_file + "\n");
  ServerProcess server(sandbox);
  for (const char* round : {"compiles", "warm"}) {
    SCOPED_TRACE(round);
    std::remove(pid_file.c_str());
    const BoundedResponse r = read_bounded(server.socket_path(), script, 16 << 20);
    ASSERT_TRUE(wait_for_file(pid_file));
    sandbox.kill_recorded(pid_file);
    // What was in the pipe when the script ended is relayed, as the runner relays it; nothing
    // the descendant writes later.
    EXPECT_TRUE(r.ended) << "the response followed the descendant for " << r.size << " bytes";
    EXPECT_EQ(r.start.substr(0, 33), "Content-Type: text/plain\n\nbefore\n");
  }
  EXPECT_TRUE(server.wait_for_children(0));
}

// A long error line reaches the log in pieces of exactly 64 KiB, whether the runner relays it
// (the request compiles) or the server itself (warm), however the pipe's reads cut it: the
// second half here comes after the server has read the first.
TEST(FcgiWarmPath, ALongErrorLineReachesTheLogInPiecesOf64KiB) {
  RunnerSandbox sandbox;
  const std::string a = "/usr/bin/head -c 100000 /dev/zero | /usr/bin/tr '\\0' a >&2\n";
  const struct {
    const char* name;
    std::string text;
    std::vector<std::size_t> pieces;
  } rows[] = {
      {"200,000 bytes in two writes",
       a + "/bin/sleep 0.3\n" + a + "echo >&2\n",
       {65536, 65536, 65536, 3392}},
      {"300,000 bytes without LF", a + a + a, {65536, 65536, 65536, 65536, 37856}},
  };
  ServerProcess server(sandbox);
  for (const auto& row : rows) {
    const std::string script =
        served_script(sandbox, row.pieces.size() == 4 ? "two" : "endless", kHeader + row.text);
    for (const char* round : {"compiles", "warm"}) {
      SCOPED_TRACE(std::string(row.name) + ", " + round);
      const FcgiResponse r = fcgi_request(server.socket_path(), request_params(script));
      ASSERT_TRUE(r.ended);
      std::vector<std::size_t> pieces;
      for (std::size_t start = 0, end; (end = r.err.find('\n', start)) != std::string::npos;
           start = end + 1) {
        pieces.push_back(end - start);
      }
      EXPECT_EQ(pieces, row.pieces);
      EXPECT_EQ(r.err.back(), '\n');
    }
  }
}

const std::string kZrHeader = "Write \"Content-Type: text/plain\" + #LF$ + #LF$\n";

// A script of the bundled language that shows what it finds of earlier requests: a global, the
// environment, output left unflushed, a run-time error or End, and a random number.
const std::string kStateScript =
    kZrHeader +
    "WriteLine \"n=\" + Str$(n) + \" secret=\" + Env$(\"HTTP_X_SECRET\")\n"
    "WriteLine \"random=\" + Str$(Random(1000000000))\n"
    "n = n + 1\nWrite \"unflushed\"\nq$ = Env$(\"QUERY_STRING\")\n"
    "If q$ = \"fail\"\n  x = 1 / (Len(q$) - 4)\nEndIf\nIf q$ = \"end\"\n  End 2\nEndIf\n"
    "If q$ = \"read\"\n  x = WriteFile(\"started\", \"1\")\n  b$ = ReadAll$()\nEndIf\n";

FcgiResponse request_with(const ServerProcess& server, const std::string& script,
                          const std::string& query, const Params& extra = {}) {
  Params params = extra;
  params.emplace_back("QUERY_STRING", query);
  return fcgi_request(server.socket_path(), request_params(script, params));
}

TEST(FcgiWarmPath, AResidentProcessStartsEveryRequestAfresh) {
  RunnerSandbox sandbox;
  sandbox.use_stand_in_compiler();
  const std::string script = served_script(sandbox, "state.zr", kStateScript);
  // Room beside the resident process, so that the rebuild below need not retire it; and no
  // request limit, which must neither retire the process after each request nor keep it past
  // the rebuild.
  ServerProcess server(sandbox, {"--max-children", "2", "--max-requests", "0"});
  ASSERT_TRUE(request_with(server, script, "").ended);  // compiles
  const FcgiResponse failed = request_with(server, script, "fail", {{"HTTP_X_SECRET", "abc"}});
  const std::vector<pid_t> resident = server.children();
  ASSERT_EQ(resident.size(), 1u);
  const FcgiResponse ended = request_with(server, script, "end");
  const FcgiResponse plain = request_with(server, script, "");
  EXPECT_EQ(server.children(), resident) << "one process served the three";
  // A failed run's unflushed output gives way to the error page.
  EXPECT_EQ(
      failed.out,
      "Status: 500 Internal Server Error\nContent-Type: text/html\n\n<p>Runtime error at line "
      "9: Division by zero</p>\n");
  for (const FcgiResponse* r : {&ended, &plain}) {
    EXPECT_TRUE(r->ended);
    EXPECT_EQ(r->out.find("Content-Type: text/plain\n\nn=0 secret=\nrandom="), 0u) << r->out;
    EXPECT_EQ(r->out.substr(r->out.size() - 10), "\nunflushed");
    EXPECT_EQ(r->err, "");
  }
  EXPECT_NE(number_after(ended.out, "random"), number_after(plain.out, "random"));
  // Rebuilt between two requests: the next warm one runs the new code in a new process.
  sandbox.write_file(
      "state.zr", "#!" + sandbox.runner_path() + " -w\n" + kZrHeader + "WriteLine \"two\"\n", 0755);
  request_with(server, script, "");
  EXPECT_EQ(request_with(server, script, "").out, "Content-Type: text/plain\n\ntwo\n");
  EXPECT_TRUE(gone(resident[0]));
}

// A process killed in the middle of a request: the request ends as that of an executable run
// once, and the next one is served.
TEST(FcgiWarmPath, AKilledResidentProcessEndsItsRequestAsAKilledExecutable) {
  RunnerSandbox sandbox;
  sandbox.use_stand_in_compiler();
  const std::string script = served_script(sandbox, "state.zr", kStateScript);
  std::vector<FcgiResponse> killed;
  for (const char* mode : {"--max-requests=1000", "--no-resident"}) {
    SCOPED_TRACE(mode);
    ServerProcess server(sandbox, {"--max-children", "2", mode});
    ASSERT_TRUE(request_with(server, script, "").ended);
    std::remove((sandbox.dir() + "/started").c_str());
    FcgiClient client(server.socket_path());
    client.begin(1);
    client.params(1, request_params(script, {{"QUERY_STRING", "read"},
                                             {"REQUEST_METHOD", "POST"},
                                             {"CONTENT_LENGTH", "10"}}));
    client.body(1, "abc");
    ASSERT_TRUE(wait_for_file(sandbox.dir() + "/started"));
    ASSERT_EQ(server.children().size(), 1u);
    ::kill(server.children()[0], SIGKILL);
    killed.push_back(client.read_response(1));
    EXPECT_TRUE(killed.back().ended);
    EXPECT_NE(request_with(server, script, "").out.find("n=0"), std::string::npos);
  }
  EXPECT_EQ(killed[0].out, killed[1].out);
  EXPECT_EQ(killed[0].err, killed[1].err);
  EXPECT_EQ(killed[0].app_status, killed[1].app_status);
}

// The server remembers its last decision per script; edits that keep a file's size and second
// must still reach the next request: the script saved in place, and the record beside the
// executable rewritten with its modification time put back, which only its change time shows.
TEST(FcgiWarmPath, InPlaceEditsOfTheSameSizeAndSecondAreNotServedFromMemory) {
  for (const bool resident : {false, true}) {
    SCOPED_TRACE(resident ? "resident" : "run once");
    RunnerSandbox sandbox;
    if (resident) sandbox.use_stand_in_compiler();
    const auto page = [&](const char* word) {
      return resident ? kZrHeader + "WriteLine \"" + word + "\"\n"
                      : kHeader + "echo " + word + "\n";
    };
    const std::string script = served_script(sandbox, "edited", page("one"));
    const std::string executable = RunnerSandbox::cache_path(script);
    ServerProcess server(sandbox);
    const auto served = [&] { return request_with(server, script, "").out; };
    const auto inode = [&] {
      struct stat status {};
      return ::stat(executable.c_str(), &status) == 0 ? status.st_ino : 0;
    };
    ASSERT_EQ(served(), "Content-Type: text/plain\n\none\n");
    ASSERT_EQ(served(), "Content-Type: text/plain\n\none\n");
    struct stat before {};
    ASSERT_EQ(::stat(script.c_str(), &before), 0);
    served_script(sandbox, "edited", page("two"));
    const timespec same_second[2] = {
        before.st_atim, {before.st_mtim.tv_sec, (before.st_mtim.tv_nsec + 1) % 1'000'000'000}};
    ASSERT_EQ(::utimensat(AT_FDCWD, script.c_str(), same_second, 0), 0);
    EXPECT_EQ(served(), "Content-Type: text/plain\n\ntwo\n");
    const ino_t built = inode();
    // One digit of the recorded identity changed: the record no longer vouches for the file.
    const std::string record = executable + ".script";
    struct stat recorded {};
    ASSERT_EQ(::stat(record.c_str(), &recorded), 0);
    std::string text = RunnerSandbox::read_file(record);
    ASSERT_FALSE(text.empty());
    text.back() = text.back() == '0' ? '1' : '0';
    std::ofstream(record, std::ios::binary | std::ios::in | std::ios::out) << text;
    const timespec kept[2] = {recorded.st_atim, recorded.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, record.c_str(), kept, 0), 0);
    EXPECT_EQ(served(), "Content-Type: text/plain\n\ntwo\n");
    EXPECT_NE(inode(), built) << "the executable was not built again";
  }
}

// A resident process keeps its output pipes across its runs: a run held up by a client that
// does not read keeps them, a request meanwhile goes to another process, and the next run of
// the same process gets nothing of the one before.
TEST(FcgiWarmPath, AResidentProcessesPipesCarryOnlyTheRunThatHoldsThem) {
  RunnerSandbox sandbox;
  sandbox.use_stand_in_compiler();
  const std::string script = served_script(
      sandbox, "pipes.zr",
      kZrHeader +
          "If Env$(\"QUERY_STRING\") = \"big\"\n  For i = 1 To 200000\n    WriteLine \"line \" + "
          "Str$(i)\n  Next i\nElse\n  WriteLine \"small\"\nEndIf\n");
  const std::string small = "Content-Type: text/plain\n\nsmall\n";
  std::string big = "Content-Type: text/plain\n\n";
  for (int i = 1; i <= 200000; ++i) big += "line " + std::to_string(i) + "\n";
  ServerProcess server(sandbox, {"--max-children", "2"});
  ASSERT_EQ(request_with(server, script, "").out, small);  // compiles
  ASSERT_EQ(request_with(server, script, "").out, small);
  const std::vector<pid_t> first = server.children();
  ASSERT_EQ(first.size(), 1u);
  FcgiClient slow(server.socket_path());
  slow.begin(1);
  slow.params(1, request_params(script, {{"QUERY_STRING", "big"}}));
  // Its first bytes: the run has started, and 2 MB cannot all leave the pipe unread.
  const std::optional<RawRecord> start = slow.read_record();
  ASSERT_TRUE(start.has_value());
  ASSERT_EQ(start->type, 6);  // FCGI_STDOUT
  EXPECT_EQ(request_with(server, script, "").out, small);
  EXPECT_EQ(server.children().size(), 2u);
  FcgiResponse rest = slow.read_response(1);
  ASSERT_TRUE(rest.ended);
  EXPECT_TRUE(start->content + rest.out == big)
      << start->content.size() + rest.out.size() << " of " << big.size() << " bytes";
  for (int i = 0; i < 4; ++i) EXPECT_EQ(request_with(server, script, "").out, small);
  EXPECT_EQ(server.children().size(), 2u);
  EXPECT_TRUE(process_exists(first[0]));
}

// A small page is answered on the connection by the resident process itself: on a kept
// connection each next request is served at once, and a request whose stream has not ended
// gets its whole answer, the connection closing only once the stream has.
TEST(FcgiWarmPath, AResidentRunAnswersOnTheConnectionAsTheServerWould) {
  RunnerSandbox sandbox;
  sandbox.use_stand_in_compiler();
  const std::string script = served_script(sandbox, "own.zr", kZrHeader + "WriteLine \"own\"\n");
  const std::string page = "Content-Type: text/plain\n\nown\n";
  ServerProcess server(sandbox);
  ASSERT_EQ(request_with(server, script, "").out, page);  // compiles
  FcgiClient kept(server.socket_path());
  for (int i = 0; i < 20; ++i) {
    SCOPED_TRACE("request " + std::to_string(i) + " on a kept connection");
    kept.begin(1, 1, true);
    kept.params(1, request_params(script, {}));
    kept.body_end(1);
    const FcgiResponse r = kept.read_response(1);
    ASSERT_TRUE(r.ended);
    EXPECT_EQ(r.out, page);
    EXPECT_EQ(r.app_status, 0u);
  }
  FcgiClient unfinished(server.socket_path());
  unfinished.begin(1);
  unfinished.params(1, request_params(script, {}));
  const FcgiResponse r = unfinished.read_response(1);
  ASSERT_TRUE(r.ended);
  EXPECT_EQ(r.out, page);
  unfinished.body_end(1);
  EXPECT_TRUE(unfinished.wait_for_close());
  EXPECT_EQ(server.children().size(), 1u);
}

// A process that has served its number goes once its answer is out, while the next request
// waits for its place instead of failing or going beyond --max-children.
TEST(FcgiWarmPath, TheNextRequestWaitsForTheProcessThatServedItsNumber) {
  RunnerSandbox sandbox;
  sandbox.use_stand_in_compiler();
  const std::string script = served_script(sandbox, "own.zr", kZrHeader + "WriteLine \"own\"\n");
  const std::string page = "Content-Type: text/plain\n\nown\n";
  ServerProcess one(sandbox, {"--max-children", "1", "--max-requests", "1"});
  ASSERT_EQ(request_with(one, script, "").out, page);  // compiles
  std::vector<std::unique_ptr<FcgiClient>> waiting;
  for (int i = 0; i < 6; ++i) {
    waiting.push_back(std::make_unique<FcgiClient>(one.socket_path()));
    waiting.back()->begin(1);
    waiting.back()->params(1, request_params(script, {}));
    waiting.back()->body_end(1);
  }
  for (auto& client : waiting) {
    const FcgiResponse answer = client->read_response(1);
    EXPECT_EQ(answer.out, page);
    EXPECT_EQ(answer.err, "");
    EXPECT_LE(one.children().size(), 1u);
  }
}

// A resident process whose reply says more, or less, than it wrote to its output pipe: the
// request ends with what the pipe held, no leftover reaches a later request, and the process
// serves no other. A shell file with the resident trailer stands for it.
TEST(FcgiWarmPath, AReplyWhoseCountsAreWrongNeitherHangsNorMixesRuns) {
  const std::string fake =
      "#!/bin/bash\nexec /usr/bin/python3 -c '\n"
      "import socket, struct, sys, os\n"
      "s = socket.socket(fileno=int(sys.argv[1])); runs = 0\n"
      "while True:\n"
      "    data, fds, _, _ = socket.recv_fds(s, 65536, 4)\n"
      "    if not data: break\n"
      "    runs += 1; page = b\"Content-Type: text/plain\\n\\nrun %d\\n\" % runs\n"
      "    os.write(fds[1], page)\n"
      "    for fd in fds: os.close(fd)\n"
      "    said = len(page) + (1000 if b\"=more\" in data else -len(page) if b\"=less\" in data "
      "else 0)\n"
      "    s.sendall(struct.pack(\"<IIIIQQ\", 0x5a52444e, 0, 0, 0, said, 0))\n"
      "' \"$1\"\n";
  const std::string trailer("\x04\x00\x47\x4f\x52\x50\x52\x5a\0\0\0\0\0\0\0\0", 16);
  // Told true, the same process serves the next request: the fake is served resident.
  for (const std::string lie : {"none", "more", "less"}) {
    SCOPED_TRACE(lie);
    RunnerSandbox sandbox;
    sandbox.use_stand_in_compiler();
    const std::string script = served_script(sandbox, "fake.zr", kZrHeader + "WriteLine 1\n");
    ServerProcess server(sandbox, {"--max-children", "2"});
    ASSERT_TRUE(request_with(server, script, "").ended);  // compiles
    std::ofstream(RunnerSandbox::cache_path(script), std::ios::trunc | std::ios::binary)
        << fake << trailer;
    const auto run = [](int n) {
      return "Content-Type: text/plain\n\nrun " + std::to_string(n) + "\n";
    };
    const FcgiResponse first = request_with(server, script, lie);
    ASSERT_TRUE(first.ended);
    // What its pipe held when it replied is its page, whichever it read first.
    EXPECT_EQ(first.out, run(1));
    // A process that miscounted serves no other request: each next one is a new one's first.
    for (int i = 2; i <= 3; ++i)
      EXPECT_EQ(request_with(server, script, lie).out, run(lie == "none" ? i : 1));
  }
}

}  // namespace
}  // namespace sr::test
