#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "runtime/process/process.h"
#include "tests/unit/process/process_test_support.h"

namespace sr {
namespace {

using testing::start_sh;

class Streams : public ::testing::Test {
 protected:
  void SetUp() override { init_child_programs(); }
};

void wait_for_pending(ProgramHandle handle, int count) {
  while (pending_program_output(handle) < count) ::usleep(1000);
}

TEST_F(Streams, RememberedCountCoversBufferedBytes) {
  ProgramHandle handle = start_sh("head -c 2500 /dev/zero; read x; head -c 300 /dev/zero; read y",
                                  ProgramFlag::read | ProgramFlag::write);
  ASSERT_NE(handle, 0);
  wait_for_pending(handle, 2500);
  EXPECT_EQ(available_program_output(handle), 2500);
  std::vector<char> block(1000);
  EXPECT_EQ(read_program_data(handle, block.data(), 1000), 1000);
  // The rest now sits in our buffer, the pipe itself is empty.
  EXPECT_EQ(available_program_output(handle), 1500);
  EXPECT_EQ(write_program_data(handle, "\n", 1), 1);
  wait_for_pending(handle, 1800);
  EXPECT_EQ(available_program_output(handle), 300);
  close_program_input(handle);
  EXPECT_EQ(testing::read_all_output(handle).size(), 1800u);
  close_program(handle);
}

TEST_F(Streams, LinesBlocksAndWrites) {
  ProgramHandle handle =
      start_program("/bin/cat", "", "", ProgramFlag::open | ProgramFlag::read | ProgramFlag::write);
  ASSERT_NE(handle, 0);
  const std::string text = "one\r\n\ntwo\nrest";
  EXPECT_EQ(write_program_data(handle, text.data(), static_cast<int>(text.size())),
            static_cast<int>(text.size()));
  close_program_input(handle);
  EXPECT_EQ(read_program_output_line(handle), "one\r");
  EXPECT_EQ(read_program_output_line(handle), "");
  char block[2];
  EXPECT_EQ(read_program_data(handle, block, 2), 2);
  EXPECT_EQ(std::string(block, 2), "tw");
  EXPECT_EQ(read_program_output_line(handle), "o");
  EXPECT_EQ(read_program_output_line(handle), "rest");
  EXPECT_EQ(read_program_output_line(handle), "");
  EXPECT_EQ(read_program_data(handle, block, 2), 0);
  close_program(handle);
}

TEST_F(Streams, ErrorLineReturnsAtOnceWhenNothingWaits) {
  ProgramHandle handle =
      start_sh("read x; printf 'one\\r\\ntwo' >&2", ProgramFlag::write | ProgramFlag::error);
  ASSERT_NE(handle, 0);
  EXPECT_EQ(read_program_error_line(handle), "");  // the program waits for us: must not block
  close_program_input(handle);
  ASSERT_TRUE(wait_program(handle, -1));
  EXPECT_EQ(read_program_error_line(handle), "one\r");
  EXPECT_EQ(read_program_error_line(handle), "two");
  EXPECT_EQ(read_program_error_line(handle), "");
  close_program(handle);
}

TEST_F(Streams, WriteToAnEndedProgramIsShort) {
  ProgramHandle handle = start_sh("exit 0", ProgramFlag::write);
  ASSERT_NE(handle, 0);
  ASSERT_TRUE(wait_program(handle, -1));
  std::vector<char> data(1 << 20, 'x');
  EXPECT_LT(write_program_data(handle, data.data(), static_cast<int>(data.size())),
            static_cast<int>(data.size()));
  EXPECT_EQ(write_program_data_now(handle, data.data(), 10), -1);
  close_program(handle);
}

TEST_F(Streams, WriteToAProgramThatStopsReadingIsShort) {
  // The program takes one line and ends while we are still writing a large block.
  ProgramHandle handle = start_sh("read x", ProgramFlag::write);
  ASSERT_NE(handle, 0);
  std::vector<char> data(1 << 22, 'x');
  data[0] = '\n';
  EXPECT_LT(write_program_data(handle, data.data(), static_cast<int>(data.size())),
            static_cast<int>(data.size()));
  close_program(handle);
}

TEST_F(Streams, OperationsOnStreamsThatWereNotRequested) {
  ProgramHandle handle = start_sh("exit 0", 0);
  ASSERT_NE(handle, 0);
  char byte;
  std::string line;
  EXPECT_EQ(available_program_output(handle), 0);
  EXPECT_EQ(read_program_data(handle, &byte, 1), 0);
  EXPECT_EQ(read_program_output_line(handle), "");
  EXPECT_EQ(read_program_error_line(handle), "");
  EXPECT_EQ(write_program_data(handle, "x", 1), 0);
  EXPECT_EQ(read_program_output_now(handle, &byte, 1), -1);
  EXPECT_FALSE(read_program_error_line_now(handle, line));
  EXPECT_TRUE(program_error_at_end(handle));
  EXPECT_EQ(write_program_data_now(handle, "x", 1), -1);
  ProgramDescriptors descriptors = program_descriptors(handle);
  EXPECT_EQ(descriptors.output, -1);
  EXPECT_EQ(descriptors.input, -1);
  EXPECT_EQ(descriptors.error, -1);
  close_program(handle);
}

TEST_F(Streams, ConnectFeedsTheSourceOutput) {
  ProgramHandle source = start_sh("printf 'a\\nb\\n'", ProgramFlag::read);
  ASSERT_NE(source, 0);
  ProgramHandle sink = start_program(
      "/bin/cat", "", "", ProgramFlag::open | ProgramFlag::read | ProgramFlag::connect, source);
  ASSERT_NE(sink, 0);
  EXPECT_EQ(testing::read_all_output(sink), "a\nb\n");
  close_program(sink);
  close_program(source);
}

}  // namespace
}  // namespace sr
