#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "runtime/process/process.h"
#include "tests/unit/process/process_test_support.h"

namespace sr {
namespace {

// Many programs from several threads: each gets its own output and exit code back.
TEST(Concurrency, ManyProgramsFromSeveralThreads) {
  init_child_programs();
  constexpr int kThreads = 8;
  constexpr int kPerThread = 16;
  std::vector<int> failures(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &failures] {
      for (int i = 0; i < kPerThread; ++i) {
        int n = t * kPerThread + i;
        std::string command = "echo " + std::to_string(n) + "; exit " + std::to_string(n % 7);
        ProgramHandle handle = testing::start_sh(command, ProgramFlag::read);
        bool ok = handle != 0 && read_program_output_line(handle) == std::to_string(n) &&
                  wait_program(handle, -1) && program_exit_code(handle) == n % 7;
        if (!ok) ++failures[t];
        if (handle != 0) close_program(handle);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) {
    SCOPED_TRACE("thread " + std::to_string(t));
    EXPECT_EQ(failures[t], 0);
  }
}

}  // namespace
}  // namespace sr
