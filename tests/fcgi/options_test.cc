// The server's command line: each option in both spellings, and the message for each bad one.
#include "fcgi/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace sr::fcgi {
namespace {

std::string parse(std::vector<std::string> args, Options& options) {
  args.insert(args.begin(), "scriptrunner-fcgi");
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  return parse_options(static_cast<int>(argv.size()), argv.data(), options);
}

TEST(ServerOptions, EveryOptionInBothSpellings) {
  Options options;
  ASSERT_EQ(parse({"--listen", "unix:/run/sr.sock", "--socket-mode=0600", "--max-children", "12",
                   "--timeout=30", "--request-read-timeout", "2", "--memory-limit=2G", "--env",
                   "PATH=/usr/bin:/bin", "--env=EMPTY=", "--help", "--no-resident",
                   "--resident-idle=5", "--max-requests", "7"},
                  options),
            "");
  ASSERT_EQ(parse({"--status-path", "/status", "--ping-path=/ping", "--slow-log", "3",
                   "--log=/var/log/sr.log"},
                  options),
            "");
  EXPECT_EQ(options.listen, "unix:/run/sr.sock");
  EXPECT_EQ(options.socket_mode, 0600u);
  EXPECT_EQ(options.max_children, 12);
  EXPECT_EQ(options.timeout_seconds, 30);
  EXPECT_EQ(options.request_read_timeout_seconds, 2);
  EXPECT_EQ(options.memory_limit_bytes, 2ull << 30);
  EXPECT_EQ(options.env, (std::vector<std::pair<std::string, std::string>>{
                             {"PATH", "/usr/bin:/bin"}, {"EMPTY", ""}}));
  EXPECT_TRUE(options.help);
  EXPECT_FALSE(options.resident);
  EXPECT_EQ(options.resident_idle_seconds, 5);
  EXPECT_EQ(options.max_requests, 7);
  EXPECT_EQ(options.status_path, "/status");
  EXPECT_EQ(options.ping_path, "/ping");
  EXPECT_EQ(options.slow_log_seconds, 3);
  EXPECT_EQ(options.log_file, "/var/log/sr.log");
}

TEST(ServerOptions, DefaultsWithoutArguments) {
  Options options;
  ASSERT_EQ(parse({}, options), "");
  EXPECT_EQ(options.listen, "");
  EXPECT_EQ(options.socket_mode, 0660u);
  EXPECT_EQ(options.timeout_seconds, 0);
  EXPECT_EQ(options.request_read_timeout_seconds, 5);
  EXPECT_EQ(options.memory_limit_bytes, 1024ull << 20);
  EXPECT_GE(options.max_children, 1);
  EXPECT_TRUE(options.resident);
  EXPECT_EQ(options.resident_idle_seconds, 60);
  EXPECT_EQ(options.max_requests, 1000);
  for (const auto& [size, bytes] :
       {std::pair{"0", 0ull}, {"300", 300ull << 20}, {"64K", 64ull << 10}}) {
    ASSERT_EQ(parse({"--memory-limit", size}, options), "");
    EXPECT_EQ(options.memory_limit_bytes, bytes) << size;
  }
}

TEST(ServerOptions, BadArgumentsAreNamed) {
  const struct {
    std::vector<std::string> args;
    std::string message;
  } rows[] = {
      {{"--max-children", "0"}, "--max-children needs a number from 1"},
      {{"--max-children", "-3"}, "--max-children needs a number from 1"},
      {{"--max-children", "4x"}, "--max-children needs a number from 1"},
      {{"--timeout", "ten"}, "--timeout needs seconds"},
      {{"--socket-mode", "0999"}, "--socket-mode needs an octal mode"},
      {{"--socket-mode", "01777"}, "--socket-mode needs an octal mode"},
      {{"--request-read-timeout", "0"}, "--request-read-timeout needs seconds from 1"},
      {{"--memory-limit", "1T"}, "--memory-limit needs MiB, or a size with K, M or G"},
      {{"--memory-limit", "M"}, "--memory-limit needs MiB, or a size with K, M or G"},
      {{"--env", "NOVALUE"}, "--env needs NAME=VALUE"},
      {{"--env", "=value"}, "--env needs NAME=VALUE"},
      {{"--listen="}, "--listen needs unix:PATH or HOST:PORT"},
      {{"--listen"}, "missing value after --listen"},
      {{"--port", "9000"}, "unknown option --port"},
      {{"--status-path", "status"}, "--status-path needs a path from /"},
      {{"--ping-path="}, "--ping-path needs a path from /"},
      {{"--status-path=/s", "--ping-path=/s"},
       "--status-path and --ping-path need different paths"},
      {{"--slow-log", "-1"}, "--slow-log needs seconds"},
      {{"--max-requests", "-1"}, "--max-requests needs a number, 0 for no limit"},
      {{"--log="}, "--log needs a file"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.args[0] + " " + (row.args.size() > 1 ? row.args[1] : ""));
    Options options;
    EXPECT_EQ(parse(row.args, options), row.message);
  }
}

}  // namespace
}  // namespace sr::fcgi
