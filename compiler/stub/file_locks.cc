#include "compiler/stub/file_locks.h"

#include <errno.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/time.h>
#include <unistd.h>

#include "compiler/stub/file_places.h"
#include "compiler/stub/run_failure.h"

namespace sr::zr {
namespace {

RunLocks* current = nullptr;

// A lock file deleted or replaced between its open and its lock is opened again; a file that
// keeps being replaced is not a lock file anyone can share.
constexpr int kReopenTries = 100;

volatile sig_atomic_t seconds_waited = 0;
void count_second(int) {
  seconds_waited = seconds_waited + 1;
}

// A blocking flock, woken every second by a timer so that it gives up after kLockWaitSeconds
// (two runs taking two locks in opposite orders would otherwise wait for each other for ever).
// The timer repeats, so a tick that comes just before flock blocks only delays the end.
bool wait_for_lock(int fd, bool& timed_out) {
  timed_out = false;
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
  if (errno != EWOULDBLOCK && errno != EINTR) return false;
  struct sigaction tick = {}, old_tick;
  tick.sa_handler = count_second;
  sigemptyset(&tick.sa_mask);
  sigaction(SIGALRM, &tick, &old_tick);
  seconds_waited = 0;
  const itimerval every_second = {{1, 0}, {1, 0}}, off = {};
  setitimer(ITIMER_REAL, &every_second, nullptr);
  int locked;
  while ((locked = flock(fd, LOCK_EX)) != 0 && errno == EINTR &&
         seconds_waited < kLockWaitSeconds) {
  }
  setitimer(ITIMER_REAL, &off, nullptr);
  sigaction(SIGALRM, &old_tick, nullptr);
  timed_out = locked != 0 && seconds_waited >= kLockWaitSeconds;
  return locked == 0;
}

[[noreturn]] void refuse(int fd, Place& place, const char* message) {
  if (fd >= 0) close(fd);
  close_place(place);
  fail_run(message);
}

// The open lock file at `place`, after the checks that every file function makes.
int open_lock_file(Place& place, struct stat& st) {
  const int fd = openat(place.folder, place.name, O_RDONLY | O_CREAT | kSafeOpen, 0600);
  if (fd < 0 && fstatat(place.folder, place.name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISLNK(st.st_mode)) {
    refuse(fd, place, "Lock does not follow a link to its lock file");
  }
  if (fd < 0 && errno != EISDIR) refuse(fd, place, "Lock cannot open or create its lock file");
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    refuse(fd, place, "Lock needs a regular file as its lock file");
  }
  if (planted_by_another(place.folder, st)) {
    refuse(fd, place, "Lock does not use a lock file that another user left in a shared folder");
  }
  return fd;
}

// Whether `place` still names the file open as `st`.
bool still_named(const Place& place, const struct stat& st) {
  struct stat now;
  return fstatat(place.folder, place.name, &now, AT_SYMLINK_NOFOLLOW) == 0 &&
         now.st_dev == st.st_dev && now.st_ino == st.st_ino;
}

}  // namespace

RunLocks::RunLocks() : outer_(current) {
  current = this;
}

RunLocks::~RunLocks() {
  release(count_);
  current = outer_;
}

const RunLocks* run_locks() {
  return current;
}

bool RunLocks::holds(dev_t device, ino_t inode) const {
  for (int i = 0; i < count_; ++i) {
    if (held_[i].device == device && held_[i].inode == inode) return true;
  }
  return false;
}

void RunLocks::take(Text& path) {
  if (count_ == kMostHeldLocks) fail_run("More than 64 Lock blocks are open at once");
  const char* p = c_path(path);
  if (p == nullptr) fail_run("Lock needs the path of a lock file");
  for (int attempt = 0; attempt < kReopenTries; ++attempt) {
    Place place = place_of(p);
    if (place.folder < 0) fail_run("Lock cannot open the folder of its lock file");
    struct stat st;
    int fd = open_lock_file(place, st);
    if (holds(st.st_dev, st.st_ino)) {
      close(fd);
      fd = -1;
    } else {
      bool timed_out;
      if (!wait_for_lock(fd, timed_out)) {
        refuse(fd, place,
               timed_out ? "Lock waited 30 seconds for a lock file that another run holds"
                         : "Lock cannot lock its lock file");
      }
      if (!still_named(place, st)) {  // deleted or replaced while we waited: not the lock
        close(fd);
        close_place(place);
        continue;
      }
    }
    close_place(place);
    held_[count_++] = Held{st.st_dev, st.st_ino, fd};
    return;
  }
  fail_run("Lock found its lock file replaced each time it took the lock");
}

void RunLocks::release(int64_t count) {
  if (count < 0 || count > count_) fail_run("the program is damaged");
  for (; count > 0; --count) {
    const Held& last = held_[--count_];
    if (last.fd >= 0) close(last.fd);
  }
}

}  // namespace sr::zr
