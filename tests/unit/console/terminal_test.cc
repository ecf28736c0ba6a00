#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>

#include <gtest/gtest.h>

#include "runtime/console/console.h"

namespace sr {
namespace {

// Puts the slave side of a fresh pseudo-terminal on fd 0 while alive.
class PseudoTerminalOnStdin {
 public:
  PseudoTerminalOnStdin() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    const char* name = ptsname(master_);
    if (name == nullptr) return;
    const int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) return;
    saved_ = fcntl(0, F_DUPFD_CLOEXEC, 0);
    dup2(slave, 0);
    close(slave);
  }
  ~PseudoTerminalOnStdin() {
    if (saved_ >= 0) {
      dup2(saved_, 0);
      close(saved_);
    }
    if (master_ >= 0) close(master_);
  }
  bool ready() const { return saved_ >= 0; }

 private:
  int master_ = -1;
  int saved_ = -1;
};

TEST(OpenConsole, TerminalGoesRawUntilRestored) {
  PseudoTerminalOnStdin terminal;
  if (!terminal.ready()) GTEST_SKIP() << "no pseudo-terminal available";
  termios before{};
  ASSERT_EQ(tcgetattr(0, &before), 0);
  ASSERT_NE(before.c_lflag & ICANON, 0u);
  ASSERT_NE(before.c_lflag & ECHO, 0u);

  init_console();
  EXPECT_EQ(open_console(), 1);
  termios raw{};
  ASSERT_EQ(tcgetattr(0, &raw), 0);
  // Only canonical mode and echo go; every other local flag stays.
  EXPECT_EQ(raw.c_lflag, before.c_lflag & ~static_cast<tcflag_t>(ICANON | ECHO));
  EXPECT_EQ(raw.c_iflag, before.c_iflag);
  EXPECT_EQ(raw.c_oflag, before.c_oflag);
  EXPECT_EQ(raw.c_cc[VMIN], 0);
  EXPECT_EQ(raw.c_cc[VTIME], 0);

  restore_terminal();
  termios after{};
  ASSERT_EQ(tcgetattr(0, &after), 0);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(after.c_cc[VMIN], before.c_cc[VMIN]);
  EXPECT_EQ(after.c_cc[VTIME], before.c_cc[VTIME]);
}

}  // namespace
}  // namespace sr
