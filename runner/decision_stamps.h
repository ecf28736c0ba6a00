// What a warm cache decision rested on, as one stat of each file shows it, so that a long-lived
// process can take the same decision again in a few calls for as long as none of it changed.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace sr {

// A file's identity and state: a save, a replacement, a move, a chmod, a chown or a new link
// changes one of these (the change time moves with every change to the file's metadata).
struct FileStamp {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t size = 0;
  std::int64_t modified_ns = 0;
  std::int64_t changed_ns = 0;
  mode_t mode = 0;
  uid_t owner = 0;
  bool operator==(const FileStamp&) const = default;
};

FileStamp stamp_of(const struct stat& status);
// The file at `path`, a final link followed only when `follow` is true; nothing when it cannot
// be examined.
std::optional<FileStamp> stamp_at(const std::string& path, bool follow);

// A decision that found a current executable: every record it read, as lstat showed it before
// the read, and the executable that it opened, as fstat showed the open file.
struct DecisionStamps {
  std::vector<std::pair<std::string, std::optional<FileStamp>>> records;
  std::string executable_path;
  FileStamp executable;
};

// True when each record and the executable's name still show what the decision saw. The script
// itself is the caller's to compare, from before the decision.
bool decision_still_holds(const DecisionStamps& stamps);

}  // namespace sr
