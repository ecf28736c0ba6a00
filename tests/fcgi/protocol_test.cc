// The server's protocol as a web server meets it: kept connections, refused second requests and
// roles, management records, and malformed input that closes one connection and nothing else.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>

#include "fcgi/params.h"
#include "fcgi/record.h"
#include "tests/fcgi/fcgi_client.h"
#include "tests/fcgi/server_process.h"

namespace sr::test {
namespace {

using namespace sr::fcgi;

const std::string kHeader = "Content-Type: text/plain\n\n";

// A script that answers with its query and what it read of its body.
std::string echo_script(RunnerSandbox& sandbox) {
  return served_script(sandbox, "echo",
                       "printf 'Content-Type: text/plain\\n\\n'\nprintf '%s|' \"$QUERY_STRING\"\n"
                       "/bin/cat\n");
}

FcgiResponse request_on(FcgiClient& client, std::uint16_t id, const Params& params,
                        const std::string& body, bool keep_conn) {
  client.begin(id, 1, keep_conn);
  client.params(id, params);
  if (!body.empty()) client.body(id, body);
  client.body_end(id);
  return client.read_response(id);
}

TEST(FcgiProtocol, KeptConnectionServesRequestsOneAfterAnother) {
  RunnerSandbox sandbox;
  const std::string script = echo_script(sandbox);
  ServerProcess server(sandbox);
  FcgiClient client(server.socket_path());
  for (int i = 1; i <= 3; ++i) {
    SCOPED_TRACE("request " + std::to_string(i));
    const std::string body = std::string(i * 1000, 'a' + i);
    const FcgiResponse r =
        request_on(client, static_cast<std::uint16_t>(i),
                   request_params(script, {{"QUERY_STRING", "n=" + std::to_string(i)},
                                           {"REQUEST_METHOD", "POST"},
                                           {"CONTENT_LENGTH", std::to_string(body.size())}}),
                   body, /*keep_conn=*/i < 3);
    ASSERT_TRUE(r.ended);
    EXPECT_EQ(r.protocol_status, kRequestComplete);
    EXPECT_EQ(r.out, kHeader + "n=" + std::to_string(i) + "|" + body);
    EXPECT_EQ(r.err, "");
  }
  // The last request did not ask to keep the connection.
  EXPECT_TRUE(client.wait_for_close());
}

TEST(FcgiProtocol, SecondRequestIdOnABusyConnectionIsRefused) {
  RunnerSandbox sandbox;
  const std::string script = echo_script(sandbox);
  ServerProcess server(sandbox);
  FcgiClient client(server.socket_path());
  client.begin(1, 1, true);
  client.params(1, request_params(script, {{"CONTENT_LENGTH", "2"}}));
  // Request 1 now waits for its body.
  client.begin(2, 1, true);
  std::optional<RawRecord> refusal = client.read_record();
  ASSERT_TRUE(refusal);
  EXPECT_EQ(refusal->type, kEndRequest);
  EXPECT_EQ(refusal->request_id, 2);
  ASSERT_EQ(refusal->content.size(), 8u);
  EXPECT_EQ(refusal->content[4], kCantMpxConn);
  // Records of the refused request are ignored; the first one goes on undisturbed.
  client.params(2, request_params(script));
  client.body(1, "ok");
  client.body_end(1);
  const FcgiResponse r = client.read_response(1);
  ASSERT_TRUE(r.ended);
  EXPECT_EQ(r.out, kHeader + "|ok");
  EXPECT_TRUE(client.others.empty());
}

TEST(FcgiProtocol, RolesOtherThanResponderAreRefused) {
  RunnerSandbox sandbox;
  const std::string script = echo_script(sandbox);
  ServerProcess server(sandbox);
  for (std::uint16_t role : {0, 2, 3, 77}) {
    SCOPED_TRACE("role " + std::to_string(role));
    FcgiClient client(server.socket_path());
    client.begin(5, role, /*keep_conn=*/true);
    FcgiResponse refused = client.read_response(5);
    ASSERT_TRUE(refused.ended);
    EXPECT_EQ(refused.protocol_status, kUnknownRole);
    // The kept connection still serves a responder.
    const FcgiResponse r = request_on(client, 6, request_params(script), "", false);
    EXPECT_EQ(r.out, kHeader + "|");
  }
  FcgiClient once(server.socket_path());
  once.begin(1, 2, /*keep_conn=*/false);
  EXPECT_EQ(once.read_response(1).protocol_status, kUnknownRole);
  EXPECT_TRUE(once.wait_for_close());
}

TEST(FcgiProtocol, ManagementRecordsAreAnswered) {
  RunnerSandbox sandbox;
  ServerProcess server(sandbox, {"--max-children", "3"});
  FcgiClient client(server.socket_path());
  std::string asked;
  for (const char* name : {"FCGI_MAX_CONNS", "FCGI_MAX_REQS", "FCGI_MPXS_CONNS", "OTHER"}) {
    append_name_value(asked, name, "");
  }
  std::string records;
  append_record(records, kGetValues, 0, asked);
  append_record(records, 42, 0, "whatever");
  client.send_raw(records);
  std::optional<RawRecord> values = client.read_record();
  ASSERT_TRUE(values);
  EXPECT_EQ(values->type, kGetValuesResult);
  NameValuePairs answer;
  ASSERT_TRUE(decode_name_values(values->content, answer));
  EXPECT_EQ(
      answer,
      (NameValuePairs{{"FCGI_MAX_CONNS", "3"}, {"FCGI_MAX_REQS", "3"}, {"FCGI_MPXS_CONNS", "0"}}));
  std::optional<RawRecord> unknown = client.read_record();
  ASSERT_TRUE(unknown);
  EXPECT_EQ(unknown->type, kUnknownType);
  EXPECT_EQ(unknown->content, std::string("\x2a\0\0\0\0\0\0\0", 8));
}

TEST(FcgiProtocol, ParamsSplitOverManyRecordsWithLongValues) {
  RunnerSandbox sandbox;
  const std::string script =
      served_script(sandbox, "env",
                    "printf 'Content-Type: text/plain\\n\\n%s\\n%s\\n' \"$HTTP_COOKIE\" \"$X\"\n");
  ServerProcess server(sandbox);
  const std::string cookie(100000, 'c');
  for (std::size_t record_size : {1u, 7u, 65535u}) {
    SCOPED_TRACE("params in records of " + std::to_string(record_size) + " bytes");
    FcgiClient client(server.socket_path());
    client.begin(1);
    client.params(1, request_params(script, {{"HTTP_COOKIE", cookie}, {"X", "y"}}), record_size);
    client.body_end(1);
    const FcgiResponse r = client.read_response(1);
    EXPECT_EQ(r.out, kHeader + cookie + "\ny\n");
  }
}

TEST(FcgiProtocol, MalformedRecordsCloseThatConnectionOnly) {
  RunnerSandbox sandbox;
  const std::string script = echo_script(sandbox);
  ServerProcess server(sandbox);
  std::string begin;
  append_record(begin, kBeginRequest, 1, std::string("\0\1\0\0\0\0\0\0", 8));
  std::string params_end;
  append_record(params_end, kParams, 1, "");
  std::string good_params;
  append_name_value(good_params, "SCRIPT_FILENAME", script);
  std::string params;
  append_record(params, kParams, 1, good_params);
  const struct {
    const char* name;
    std::string bytes;
  } rows[] = {
      {"an HTTP request", "GET / HTTP/1.1\r\nHost: x\r\n\r\n"},
      {"version 2", std::string("\2\1\0\1\0\0\0\0", 8)},
      {"begin body of 7 bytes", std::string("\1\1\0\1\0\7\0\0", 8) + std::string(7, '\0')},
      {"body before the params end", begin + params + std::string("\1\5\0\1\0\1\0\0x", 9)},
      {"params after their end", begin + params + params_end + params},
      {"a broken name-value pair",
       begin + std::string("\1\4\0\1\0\2\0\0\x05\x05", 10) + params_end},
      {"the same request begun twice", begin + begin},
  };
  // A request on another connection runs through all of it.
  FcgiClient bystander(server.socket_path());
  bystander.begin(1);
  bystander.params(1, request_params(script, {{"CONTENT_LENGTH", "3"}}));
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    FcgiClient client(server.socket_path());
    client.send_raw(row.bytes);
    EXPECT_TRUE(client.wait_for_close());
  }
  for (std::size_t cut : {3u, 8u, 12u}) {
    SCOPED_TRACE("a record cut after " + std::to_string(cut) + " bytes, then the end");
    FcgiClient client(server.socket_path());
    client.send_raw((begin + params).substr(0, cut));
  }
  bystander.body(1, "abc");
  bystander.body_end(1);
  EXPECT_EQ(bystander.read_response(1).out, kHeader + "|abc");
  EXPECT_EQ(fcgi_request(server.socket_path(), request_params(script)).out, kHeader + "|");
  EXPECT_TRUE(server.wait_for_children(0));
}

// Params beyond what the kernel would start the runner with, or too many to be worth building,
// are refused as they arrive: an answer, one line, and no process.
TEST(FcgiProtocol, OversizedParamsAreAnsweredWithARefusal) {
  RunnerSandbox sandbox;
  const std::string script = sandbox.write_file("never", "#!" + sandbox.runner_path() + "\n", 0755);
  Params tiny, too_much;
  for (int i = 0; i < 200000; ++i) tiny.emplace_back("a", "");
  for (int i = 0; i < 25; ++i)
    too_much.emplace_back("HTTP_X_" + std::to_string(i), std::string(100000, 'x'));
  const struct {
    const char* name;
    Params params;
    const char* says;
  } rows[] = {
      {"200,000 tiny pairs", tiny, "more than 4096 parameters"},
      {"one string beyond 128 KiB",
       {{"HTTP_X", std::string(200000, 'x')}},
       "a parameter of 200008 bytes"},
      {"2.5 MB in all", too_much, "parameters of more than"},
  };
  ServerProcess server(sandbox);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Params params = request_params(script);
    params.insert(params.end(), row.params.begin(), row.params.end());
    const FcgiResponse r = fcgi_request(server.socket_path(), params);
    ASSERT_TRUE(r.ended);
    EXPECT_EQ(r.out, "Status: 500 Internal Server Error\r\n\r\n");
    EXPECT_NE(r.err.find(row.says), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
  EXPECT_EQ(sandbox.compile_count(), 0);
  // Raw records that no web server would send: pairs that claim more than is allowed.
  FcgiClient client(server.socket_path());
  client.begin(1);
  std::string records;
  const std::string chunk(65535, 'p');
  for (int i = 0; i < 20; ++i) append_record(records, kParams, 1, chunk);
  client.send_raw(records);
  EXPECT_TRUE(client.read_response(1).ended);
  EXPECT_TRUE(server.children().empty());
}

TEST(FcgiListen, EveryWayOfGettingTheSocketServes) {
  const struct {
    const char* name;
    Listen how;
  } rows[] = {{"unix socket", Listen::unix_path},
              {"TCP on the loopback", Listen::tcp},
              {"inherited as fd 0", Listen::fd0},
              {"socket activation", Listen::systemd}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    RunnerSandbox sandbox;
    const std::string script = echo_script(sandbox);
    ServerProcess server(sandbox, {}, row.how);
    ASSERT_TRUE(server.ready());
    const FcgiResponse r = fcgi_request(
        server.socket_path(),
        request_params(script, {{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", "2"}}), "hi");
    EXPECT_EQ(r.out, kHeader + "|hi");
    const int status = server.stop(SIGTERM);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
}

TEST(FcgiListen, UnixSocketGetsItsModeAndIsRemovedAtTheEnd) {
  RunnerSandbox sandbox;
  const std::string path = sandbox.dir() + "/fcgi.sock";
  for (const char* mode : {"0660", "0600", "0666"}) {
    SCOPED_TRACE(mode);
    ServerProcess server(sandbox, {"--socket-mode", mode});
    struct stat status;
    ASSERT_EQ(::stat(path.c_str(), &status), 0);
    EXPECT_TRUE(S_ISSOCK(status.st_mode));
    EXPECT_EQ(status.st_mode & 0777, std::stoul(mode, nullptr, 8));
    server.stop(SIGTERM);
    EXPECT_NE(::stat(path.c_str(), &status), 0);
  }
}

}  // namespace
}  // namespace sr::test
