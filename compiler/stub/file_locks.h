// The locks that Lock ... EndLock blocks hold: an exclusive flock on a lock file each, kept on
// the run's own stack so that every way a run ends, a failed one included, lets them go.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include "compiler/stub/text.h"

namespace sr::zr {

// Lock blocks open at once, in all the running procedures together.
inline constexpr int kMostHeldLocks = 64;
// How long Lock waits for a lock that another run holds before it ends the run.
inline constexpr int kLockWaitSeconds = 30;

class RunLocks {
 public:
  RunLocks();
  ~RunLocks();  // closes every lock file still open: the run is over
  RunLocks(const RunLocks&) = delete;
  RunLocks& operator=(const RunLocks&) = delete;

  // Lock path$: opens the lock file as the file functions open files, creating it 0600 when
  // missing, and waits for its lock; a file this run already holds is held once more. Ends the
  // run with an error naming why when it cannot.
  void take(Text& path);
  // EndLock, or a Break or Return leaving `count` Lock blocks.
  void release(int64_t count);
  // Whether the file with this identity is one that a Lock of this run holds.
  bool holds(dev_t device, ino_t inode) const;

 private:
  struct Held {
    dev_t device;
    ino_t inode;
    int fd;  // -1 for a file held by an outer block as well: that block closes it
  };
  Held held_[kMostHeldLocks];
  int count_ = 0;
  RunLocks* outer_;
};

// The running program's locks, for the file functions; null outside a run.
const RunLocks* run_locks();

}  // namespace sr::zr
