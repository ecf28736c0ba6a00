#include <gtest/gtest.h>

#include <string>

#include "runtime/process/process.h"
#include "tests/unit/process/process_test_support.h"

namespace sr {
namespace {

using testing::start_sh;
using testing::wait_readable;

class StreamsNow : public ::testing::Test {
 protected:
  void SetUp() override { init_child_programs(); }
};

// The next error line as a relay would get it: read what waits, poll only when nothing did.
std::optional<std::string> next_error_line(ProgramHandle handle) {
  std::string line;
  for (;;) {
    if (read_program_error_line_now(handle, line)) return line;
    if (program_error_at_end(handle)) return std::nullopt;
    wait_readable(program_descriptors(handle).error);
  }
}

TEST_F(StreamsNow, ErrorLineKeepsAPartialLineUntilItsEnd) {
  ProgramHandle handle = start_sh("printf par >&2; read x; printf 'tial\\r\\nlast' >&2; read y",
                                  ProgramFlag::write | ProgramFlag::error);
  ASSERT_NE(handle, 0);
  std::string line = "untouched";
  wait_readable(program_descriptors(handle).error);
  EXPECT_FALSE(read_program_error_line_now(handle, line));
  EXPECT_FALSE(read_program_error_line_now(handle, line));
  EXPECT_EQ(line, "untouched");
  EXPECT_FALSE(program_error_at_end(handle));

  EXPECT_EQ(write_program_data_now(handle, "\n", 1), 1);
  EXPECT_EQ(next_error_line(handle), "partial\r");
  EXPECT_FALSE(read_program_error_line_now(handle, line));  // "last" has no LF yet
  EXPECT_FALSE(program_error_at_end(handle));

  close_program_input(handle);
  EXPECT_EQ(next_error_line(handle), "last");
  EXPECT_EQ(next_error_line(handle), std::nullopt);
  EXPECT_TRUE(program_error_at_end(handle));
  close_program(handle);
}

TEST_F(StreamsNow, BlockingLineReadContinuesAPartialLine) {
  ProgramHandle handle =
      start_sh("printf ab >&2; read x; echo cd >&2", ProgramFlag::write | ProgramFlag::error);
  ASSERT_NE(handle, 0);
  std::string line;
  wait_readable(program_descriptors(handle).error);
  EXPECT_FALSE(read_program_error_line_now(handle, line));
  close_program_input(handle);
  ASSERT_TRUE(wait_program(handle, -1));
  EXPECT_EQ(read_program_error_line(handle), "abcd");
  close_program(handle);
}

TEST_F(StreamsNow, OutputNowMixesWithBufferedReads) {
  ProgramHandle handle =
      start_sh("printf 0123456789; read x", ProgramFlag::read | ProgramFlag::write);
  ASSERT_NE(handle, 0);
  char block[16];
  EXPECT_EQ(read_program_data(handle, block, 2), 2);  // pulls all ten bytes into the buffer
  EXPECT_EQ(pending_program_output(handle), 8);
  EXPECT_EQ(read_program_output_now(handle, block, 3), 3);
  EXPECT_EQ(std::string(block, 3), "234");
  EXPECT_EQ(read_program_output_now(handle, block, 16), 5);
  EXPECT_EQ(std::string(block, 5), "56789");
  EXPECT_EQ(read_program_output_now(handle, block, 16), 0);  // nothing waits, not the end
  EXPECT_EQ(pending_program_output(handle), 0);
  close_program_input(handle);
  wait_readable(program_descriptors(handle).output);
  EXPECT_EQ(read_program_output_now(handle, block, 16), -1);
  EXPECT_FALSE(program_running(handle));
  close_program(handle);
}

TEST_F(StreamsNow, WriteNowStopsWhenThePipeIsFull) {
  ProgramHandle handle = start_sh("read x; exec sleep 30", ProgramFlag::write);
  ASSERT_NE(handle, 0);
  std::string block(65536, 'x');
  long total = 0;
  int count;
  while ((count = write_program_data_now(handle, block.data(), static_cast<int>(block.size()))) >
         0) {
    total += count;
  }
  EXPECT_EQ(count, 0);
  EXPECT_GT(total, 0);
  kill_program(handle);
  ASSERT_TRUE(wait_program(handle, -1));
  EXPECT_EQ(write_program_data_now(handle, block.data(), 1), -1);
  close_program(handle);
}

}  // namespace
}  // namespace sr
