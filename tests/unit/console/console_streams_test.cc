#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>
#include <cstdio>

#include <algorithm>
#include <string>
#include <vector>

#include "runtime/console/console.h"
#include "tests/unit/console/fd_capture.h"

namespace sr {
namespace {

using std::string_literals::operator""s;

struct LineCase {
  const char* name;
  std::string text;
  std::string written;
};

const LineCase kLineCases[] = {
    {"plain text", "Status: 200", "Status: 200\n"},
    {"empty text", "", "\n"},
    {"text ending in LF gets an empty line after it", "Content-type: text/html\n",
     "Content-type: text/html\n\n"},
    {"bytes after a NUL are dropped", "before\0after"s, "before\n"},
    {"high bytes pass unchanged", "\xff\xfe caf\xc3\xa9", "\xff\xfe caf\xc3\xa9\n"},
};

TEST(PrintLine, WritesTextAndOneLineFeedToStandardOutput) {
  for (const LineCase& row : kLineCases) {
    SCOPED_TRACE(row.name);
    testing::FdCapture out(1);
    print_line(row.text);
    EXPECT_EQ(out.contents(), row.written);
  }
}

TEST(PrintErrorLine, WritesTextAndOneLineFeedToStandardError) {
  for (const LineCase& row : kLineCases) {
    SCOPED_TRACE(row.name);
    testing::FdCapture err(2);
    print_error_line(row.text);
    EXPECT_EQ(err.contents(), row.written);
  }
}

TEST(WriteStandardOutput, WritesEveryByteIncludingNulAndFlushes) {
  const std::string block = "a\0b\r\n\xff"s;
  testing::FdCapture out(1);
  EXPECT_EQ(write_standard_output(block.data(), static_cast<int>(block.size())),
            static_cast<int>(block.size()));
  // Flushed at once: the bytes are in the file before the capture ends.
  EXPECT_EQ(out.contents(), block);
  EXPECT_EQ(write_standard_output(block.data(), 0), 0);
  EXPECT_EQ(write_standard_output(block.data(), -5), 0);
  EXPECT_EQ(out.contents(), block);
}

// A reader that has gone (the visitor closed the connection) shows as nothing written, so the
// relay can stop; the bytes sat in the stream's buffer when the flush failed.
TEST(WriteStandardOutput, ReaderGoneIsNothingWritten) {
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  close(ends[0]);
  std::fflush(stdout);
  const int saved = dup(1);
  ASSERT_GE(saved, 0);
  ASSERT_EQ(dup2(ends[1], 1), 1);
  close(ends[1]);
  struct sigaction ignore {
  }, previous{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &previous);
  const int written = write_standard_output("lost", 4);
  const int again = write_standard_output("lost", 4);
  sigaction(SIGPIPE, &previous, nullptr);
  dup2(saved, 1);
  close(saved);
  std::fflush(stdout);
  std::clearerr(stdout);
  EXPECT_EQ(written, 0);
  EXPECT_EQ(again, 0);
}

TEST(WriteStandardOutput, SharesOrderWithPrintLine) {
  testing::FdCapture out(1);
  print_line("Content-type: text/plain");
  write_standard_output("body", 4);
  print_line("");
  write_standard_output("tail", 4);
  EXPECT_EQ(out.contents(), "Content-type: text/plain\nbody\ntail");
}

struct ReadCase {
  const char* name;
  std::string input;
  std::vector<int> counts;  // one read_standard_input per entry
  std::vector<std::string> results;
};

TEST(ReadStandardInput, ReturnsWhatCameUntilCountOrEndOfInput) {
  const std::string big(3000, 'x');
  const ReadCase rows[] = {
      {"count above the input returns the smaller count", "hello", {100}, {"hello"}},
      {"reads continue where the last stopped", "hello", {2, 3, 1}, {"he", "llo", ""}},
      {"bytes pass unchanged, NUL included", "a\0\xff\n"s, {4}, {"a\0\xff\n"s}},
      {"empty input", "", {10}, {""}},
      {"count zero or below reads nothing", "abc", {0, -1, 3}, {"", "", "abc"}},
      {"larger than one stream buffer", big + "yz", {3000, 10}, {big, "yz"}},
  };
  for (const ReadCase& row : rows) {
    SCOPED_TRACE(row.name);
    testing::StdinFeed feed(row.input);
    for (std::size_t i = 0; i < row.counts.size(); ++i) {
      std::string buffer(static_cast<std::size_t>(std::max(row.counts[i], 0)), '\0');
      const int got = read_standard_input(buffer.data(), row.counts[i]);
      ASSERT_GE(got, 0);
      EXPECT_EQ(buffer.substr(0, static_cast<std::size_t>(got)), row.results[i]) << "read " << i;
    }
  }
}

TEST(InitConsole, MakesTheStandardStreamsByteOriented) {
  init_console();
  EXPECT_LT(std::fwide(stdin, 0), 0);
  EXPECT_LT(std::fwide(stdout, 0), 0);
  EXPECT_LT(std::fwide(stderr, 0), 0);
}

}  // namespace
}  // namespace sr
