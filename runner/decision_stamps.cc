#include "runner/decision_stamps.h"

namespace sr {

FileStamp stamp_of(const struct stat& status) {
  FileStamp stamp;
  stamp.device = static_cast<std::uint64_t>(status.st_dev);
  stamp.inode = static_cast<std::uint64_t>(status.st_ino);
  stamp.size = static_cast<std::int64_t>(status.st_size);
  stamp.modified_ns = std::int64_t{status.st_mtim.tv_sec} * 1'000'000'000 + status.st_mtim.tv_nsec;
  stamp.changed_ns = std::int64_t{status.st_ctim.tv_sec} * 1'000'000'000 + status.st_ctim.tv_nsec;
  stamp.mode = status.st_mode;
  stamp.owner = status.st_uid;
  return stamp;
}

std::optional<FileStamp> stamp_at(const std::string& path, bool follow) {
  struct stat status;
  const int result = follow ? ::stat(path.c_str(), &status) : ::lstat(path.c_str(), &status);
  if (result != 0) return std::nullopt;
  return stamp_of(status);
}

bool decision_still_holds(const DecisionStamps& stamps) {
  for (const auto& [path, seen] : stamps.records) {
    if (stamp_at(path, false) != seen) return false;
  }
  // No link followed: the name must still lead to the very file that was opened and checked.
  return stamp_at(stamps.executable_path, false) == stamps.executable;
}

}  // namespace sr
