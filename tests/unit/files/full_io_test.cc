#include "runtime/files/full_io.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "runtime/files/unique_fd.h"

namespace sr {
namespace {

std::atomic<int> alarms{0};

void count_alarm(int) {
  alarms.fetch_add(1);
}

// A timer signal every millisecond, its handler installed without SA_RESTART, so that a blocked
// read or write returns EINTR (or a short count) instead of being resumed by the kernel.
class InterruptingTimer {
 public:
  InterruptingTimer() {
    struct sigaction action {};
    action.sa_handler = count_alarm;
    action.sa_flags = 0;
    sigaction(SIGALRM, &action, &saved_);
    const itimerval every_ms{{0, 1000}, {0, 1000}};
    setitimer(ITIMER_REAL, &every_ms, nullptr);
  }
  ~InterruptingTimer() {
    const itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &saved_, nullptr);
  }

 private:
  struct sigaction saved_ {};
};

// Waits until the timer has fired a few more times: the test thread, which alone takes the
// signal, is then blocked in its read or write and has been interrupted meanwhile.
void let_signals_interrupt() {
  const int seen = alarms.load();
  while (alarms.load() < seen + 3) std::this_thread::yield();
}

// The peer thread never takes the signal, so every interruption hits the thread under test.
void block_alarm_here() {
  sigset_t alarm_only;
  sigemptyset(&alarm_only);
  sigaddset(&alarm_only, SIGALRM);
  pthread_sigmask(SIG_BLOCK, &alarm_only, nullptr);
}

struct Pipe {
  UniqueFd read, write;
  Pipe() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) == 0) {
      read.reset(fds[0]);
      write.reset(fds[1]);
    }
  }
};

TEST(FullIo, ReadCompletesThroughSignals) {
  Pipe pipe;
  ASSERT_TRUE(pipe.read);
  const std::string sent = "first piece|second piece|third piece";
  InterruptingTimer timer;
  std::thread writer([&] {
    block_alarm_here();
    for (std::size_t at = 0; at < sent.size(); at += 12) {
      let_signals_interrupt();
      ASSERT_GT(
          ::write(pipe.write.get(), sent.data() + at, std::min<std::size_t>(12, sent.size() - at)),
          0);
    }
  });
  std::string got(sent.size(), '\0');
  const std::size_t count = read_full(pipe.read.get(), got.data(), got.size());
  writer.join();
  EXPECT_EQ(count, sent.size());
  EXPECT_EQ(got, sent);
}

TEST(FullIo, WriteCompletesThroughSignals) {
  Pipe pipe;
  ASSERT_TRUE(pipe.read);
  // Far more than the pipe holds: the write blocks again and again until the reader drains it.
  std::string sent(1 << 20, '\0');
  for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<char>(i * 7 + i / 4096);
  InterruptingTimer timer;
  std::string got;
  std::thread reader([&] {
    block_alarm_here();
    char block[65536];
    while (got.size() < sent.size()) {
      let_signals_interrupt();
      const ssize_t n = ::read(pipe.read.get(), block, sizeof block);
      if (n <= 0) break;
      got.append(block, static_cast<std::size_t>(n));
    }
  });
  const std::size_t count = write_full(pipe.write.get(), sent.data(), sent.size());
  pipe.write.reset();  // a write that gave up early still lets the reader see the end
  reader.join();
  EXPECT_EQ(count, sent.size());
  EXPECT_TRUE(got == sent) << "received " << got.size() << " of " << sent.size() << " bytes";
}

TEST(FullIo, ShortCountsAtEndAndError) {
  Pipe pipe;
  ASSERT_TRUE(pipe.read);
  ASSERT_EQ(::write(pipe.write.get(), "abc", 3), 3);
  pipe.write.reset();
  char buffer[8];
  EXPECT_EQ(read_full(pipe.read.get(), buffer, sizeof buffer), 3u) << "stops at the end";
  EXPECT_EQ(write_full(-1, "x", 1), 0u) << "stops at an error";
}

TEST(FullIo, AtOffsetLeavesTheFilePositionAlone) {
  char name[] = "/tmp/full_io_test.XXXXXX";
  UniqueFd fd(mkostemp(name, O_CLOEXEC));
  ASSERT_TRUE(fd);
  unlink(name);
  ASSERT_EQ(write_full(fd.get(), "0123456789", 10), 10u);
  EXPECT_EQ(write_full_at(fd.get(), "ab", 2, 3), 2u);
  char got[10];
  EXPECT_EQ(read_full_at(fd.get(), got, sizeof got, 0), 10u);
  EXPECT_EQ(std::string(got, 10), "012ab56789");
  EXPECT_EQ(read_full_at(fd.get(), got, sizeof got, 8), 2u);
  EXPECT_EQ(lseek(fd.get(), 0, SEEK_CUR), 10);
}

}  // namespace
}  // namespace sr
