// Files that the runner keeps in the shared /tmp/ beside a cached executable, and the checks
// that keep anybody else's file from being executed or written through.
#pragma once

#include <string>
#include <string_view>

namespace sr {

enum class CachedFile {
  missing,
  trusted,     // a regular file of ours that nobody else may write
  rewritable,  // a regular file of ours that group or others may write: rebuild it
  foreign,     // a link, a directory, a device, or another user's file: never touch it
};

CachedFile inspect_cached_file(const std::string& path);

// Takes group and other write permission off a regular file of ours.
void make_private(const std::string& path);

// The record beside a cached executable names the script it was built from, since two script
// paths can map to one executable name. Holding its lock serialises compiles of that executable.
class ScriptRecord {
 public:
  ScriptRecord() = default;
  ~ScriptRecord();
  ScriptRecord(const ScriptRecord&) = delete;
  ScriptRecord& operator=(const ScriptRecord&) = delete;

  // Opens or creates the record of `executable_path` and waits for its lock. False when the
  // record is not a regular file of ours.
  bool open_locked(const std::string& executable_path);
  std::string read() const;
  // Empties the record while a build is under way, so no run takes the old file for current.
  void clear();
  void write(std::string_view script_path);

 private:
  int fd_ = -1;
};

std::string script_record_path(const std::string& executable_path);

// The recorded script path without taking the lock; "" when there is no record of ours.
std::string read_script_record(const std::string& executable_path);

}  // namespace sr
