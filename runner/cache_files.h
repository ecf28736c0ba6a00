// Files that the runner keeps in the shared /tmp/ beside a cached executable, and the checks
// that keep anybody else's file from being executed or written through.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "runtime/files/unique_fd.h"

namespace sr {

enum class CachedFile {
  missing,
  trusted,     // a regular file of ours that nobody may write, ourselves included
  rewritable,  // a regular file of ours that somebody may write (we too): rebuild it
  foreign,     // a link, a directory, a device, or another user's file: never run or write it
};

CachedFile inspect_cached_file(const std::string& path);

// Opens a trusted executable for running (O_PATH, no link followed, close-on-exec) and fills
// `status` from the open file; empty when `path` holds no trusted file.
UniqueFd open_trusted_executable(const std::string& path, struct stat& status);

// Leaves a regular file of ours readable and executable by its owner only (0500 at most): the
// executable holds the script's code and texts, and a file that its owner may write could be
// replaced through any program running as that user.
void make_owner_read_only(const std::string& path);

// Makes way at `path` for a new file: removes a regular file of ours there. True when nothing
// is there afterwards; false for anything else (links, folders, pipes, other users' files),
// which stays untouched even where this user could remove it.
bool remove_own_file(const std::string& path);

// The owner of whatever is at `path`, -1 when nothing is.
long owner_of(const std::string& path);

// Creates a new, empty file of ours, mode 0600, refusing any existing name. False when it exists
// or cannot be made.
bool create_private_file(const std::string& path);

// The script file as a build found it: a save, a replacement or a move shows in one of these,
// within the same second too.
struct ScriptIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t size = 0;
  std::int64_t modified_s = 0;
  std::int64_t modified_ns = 0;
  bool operator==(const ScriptIdentity&) const = default;
};

// The identity of the file at `path` (a link followed); nothing when it cannot be examined.
std::optional<ScriptIdentity> identify_script(const std::string& path);

// What the record says about the last build of an executable.
struct RecordedBuild {
  std::string script;  // the script path it was built for; "" when none is recorded
  // The script file that the executable was built from; nothing after a failure, and in a
  // record that does not bind the executable to its script (which therefore counts as stale).
  std::optional<ScriptIdentity> built_from;
  bool failed = false;
  std::int64_t failed_at_ns = 0;  // wall-clock time of the failure
  std::string message;            // the failure's message, as the run that failed ended with it
};

// The record beside a cached executable names the script it was built from, since two script
// paths can map to one executable name, and that script file's identity; after a failed build it
// keeps the failure instead, for the runs that waited for that build. Holding its lock serialises
// builds of that executable.
class ScriptRecord {
 public:
  ScriptRecord() = default;
  ScriptRecord(const ScriptRecord&) = delete;
  ScriptRecord& operator=(const ScriptRecord&) = delete;

  // Opens or creates the record at `record_path` and waits for its lock. False when the record
  // is not a regular file of ours.
  bool open_locked(const std::string& record_path);
  RecordedBuild read() const;
  // Empties the record while a build is under way, so no run takes the old file for current.
  void clear();
  void write(std::string_view script_path, const ScriptIdentity& built_from);
  void write_failure(std::string_view script_path, std::string_view message);

 private:
  void write_text(std::string_view text);

  UniqueFd fd_;
};

// The record without taking the lock; empty when there is no record of ours.
RecordedBuild read_record(const std::string& record_path);

// Wall-clock nanoseconds, the clock of RecordedBuild::failed_at_ns.
std::int64_t wall_clock_ns();

}  // namespace sr
