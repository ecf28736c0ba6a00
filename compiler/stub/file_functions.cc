#include "compiler/stub/file_functions.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "compiler/stub/file_locks.h"
#include "compiler/stub/file_places.h"
#include "compiler/stub/random_numbers.h"
#include "compiler/stub/run_failure.h"

namespace sr::zr {
namespace {

constexpr int kTemporaryNameTries = 100;

Place open_place(const char* path) {
  const char* slash = strrchr(path, '/');
  Text folder(slash == nullptr ? bytes_of(".")
              : slash == path  ? bytes_of("/")
                               : Bytes{path, static_cast<size_t>(slash - path)});
  return Place{open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC),
               slash == nullptr ? path : slash + 1};
}

// The runner's cache in the shared temporary folder: every executable and every file beside one
// (its record, its temporary source, a half-written build) is named "zr-executable_...". A
// program that could write one would replace another page; one that could read one would read
// that page's constants.
constexpr char kCacheFolder[] = "/tmp";
constexpr char kCachePrefix[] = "zr-executable_";

bool is_cache_file(int folder, const char* name) {
  struct stat at, cache;
  return strncmp(name, kCachePrefix, sizeof kCachePrefix - 1) == 0 && fstat(folder, &at) == 0 &&
         stat(kCacheFolder, &cache) == 0 && at.st_dev == cache.st_dev && at.st_ino == cache.st_ino;
}

// Whether the last name is a link to a cache file. No call follows it, but it is refused all the
// same, as plainly as the name itself would be.
bool links_to_cache_file(const Place& place, const char* path) {
  struct stat st;
  if (fstatat(place.folder, place.name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(st.st_mode)) {
    return false;
  }
  char target[PATH_MAX];
  if (realpath(path, target) == nullptr) return false;
  Place resolved = open_place(target);
  const bool cache = resolved.folder >= 0 && is_cache_file(resolved.folder, resolved.name);
  if (resolved.folder >= 0) close(resolved.folder);
  return cache;
}

}  // namespace

const char* c_path(Text& path) {
  const char* c = path.c_str();
  return !path.empty() && strlen(c) == path.size() ? c : nullptr;
}

Place place_of(const char* path) {
  Place place = open_place(path);
  if (place.folder < 0) return place;
  if (is_cache_file(place.folder, place.name) || links_to_cache_file(place, path)) {
    close(place.folder);
    fail_run("The file functions do not touch the runner's cached programs (/tmp/zr-executable_*)");
  }
  return place;
}

void close_place(Place& place) {
  if (place.folder >= 0) close(place.folder);
}

namespace {

// A folder that anyone may add files to but only their owners remove, like /tmp.
bool is_shared_sticky(const struct stat& folder) {
  return (folder.st_mode & S_ISVTX) != 0 && (folder.st_mode & S_IWOTH) != 0;
}

}  // namespace

bool planted_by_another(int folder, const struct stat& file) {
  if (file.st_uid == geteuid()) return false;
  struct stat st;
  if (fstat(folder, &st) != 0) return true;
  return is_shared_sticky(st) && st.st_uid != file.st_uid;
}

namespace {

// Opens a regular file at `place` without following a link there; -1 for anything else.
int open_regular(const Place& place, int flags, struct stat& st) {
  int fd = openat(place.folder, place.name, flags | kSafeOpen, 0666);
  if (fd < 0) return -1;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || planted_by_another(place.folder, st)) {
    close(fd);
    return -1;
  }
  return fd;
}

bool write_all(int fd, Bytes text) {
  while (text.size > 0) {
    ssize_t n = write(fd, text.data, text.size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    text = text.part(static_cast<size_t>(n));
  }
  return true;
}

bool read_rest(int fd, Text& out) {
  char buffer[65536];
  while (true) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    out.append(Bytes{buffer, static_cast<size_t>(n)});
  }
}

// The mode a replacement of `place` gets: the old file's permissions when there is one we may
// write, 0666 less the umask for a new one. False when it must not be replaced: a link, a
// read-only or foreign-planted file, or anything but a regular file.
bool replacement_mode(const Place& place, mode_t& mode, bool& keep_mode) {
  struct stat st;
  keep_mode = false;
  mode = 0666;
  if (fstatat(place.folder, place.name, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
  if (!S_ISREG(st.st_mode)) return false;
  int fd = open_regular(place, O_WRONLY, st);  // proves that we may change it
  if (fd < 0) return false;
  close(fd);
  keep_mode = true;
  mode = st.st_mode & 0777;
  return true;
}

// Creates the name + ".tmp-XXXXXXXX" exclusively beside it, so no existing file or link is ever
// opened; `name` is the temporary file's name in the place's folder.
int create_temporary(const Place& place, Text& name) {
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  for (int attempt = 0; attempt < kTemporaryNameTries; ++attempt) {
    name.clear();
    name.append(bytes_of(place.name));
    name.append(bytes_of(".tmp-"));
    for (int i = 0; i < 8; ++i) name.push_back(kLetters[random_below(sizeof kLetters - 1)]);
    int fd = openat(place.folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | kSafeOpen, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

Text read_place(const Place& place) {
  struct stat st;
  int fd = open_regular(place, O_RDONLY, st);
  if (fd < 0) return Text();
  Text content;
  content.reserve(static_cast<size_t>(st.st_size) + 1);
  const bool complete = read_rest(fd, content);
  close(fd);
  return complete ? moved(content) : Text();
}

// A file that a Lock of this run holds is the lock others wait on: replaced or removed, the
// next run would lock another file while this one still works under the old.
void refuse_held_lock_file(const Place& place) {
  struct stat st;
  const RunLocks* locks = run_locks();
  if (locks != nullptr && fstatat(place.folder, place.name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
      locks->holds(st.st_dev, st.st_ino)) {
    fail_run(
        "WriteFile and DeleteFile do not replace the lock file of a Lock: keep the data in a "
        "file of its own");
  }
}

int64_t write_place(const Place& place, Bytes text) {
  refuse_held_lock_file(place);
  mode_t mode;
  bool keep_mode;
  if (!replacement_mode(place, mode, keep_mode)) return 0;
  Text temporary;
  int fd = create_temporary(place, temporary);
  if (fd < 0) return 0;
  bool written = (!keep_mode || fchmod(fd, mode) == 0) && write_all(fd, text);
  written = close(fd) == 0 && written;
  if (written && renameat(place.folder, temporary.c_str(), place.folder, place.name) == 0) {
    return 1;
  }
  unlinkat(place.folder, temporary.c_str(), 0);
  return 0;
}

int64_t append_place(const Place& place, Bytes text) {
  struct stat st;
  int fd = open_regular(place, O_WRONLY | O_APPEND | O_CREAT, st);
  if (fd < 0) return 0;
  // Inside a Lock on this very file the run holds the lock already; another flock would wait
  // for itself.
  const RunLocks* locks = run_locks();
  int locked = 0;
  if (locks == nullptr || !locks->holds(st.st_dev, st.st_ino)) {
    while ((locked = flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
    }
  }
  bool appended = locked == 0 && fstat(fd, &st) == 0;
  if (appended && !write_all(fd, text)) {
    // A part of the text would run into the next appender's; the file is put back as it was.
    [[maybe_unused]] int ignored = ftruncate(fd, st.st_size);
    appended = false;
  }
  return close(fd) == 0 && appended ? 1 : 0;
}

int64_t size_at(const Place& place) {
  struct stat st;
  if (fstatat(place.folder, place.name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) {
    return -1;
  }
  return static_cast<int64_t>(st.st_size);
}

int64_t delete_at(const Place& place) {
  if (size_at(place) < 0) return 0;
  refuse_held_lock_file(place);
  return unlinkat(place.folder, place.name, 0) == 0 ? 1 : 0;
}

// Runs `call` on the place of `path`, or gives `failed` when there is no such place.
template <typename Result, typename Call>
Result at_place(Text& path, Result failed, Call call) {
  const char* p = c_path(path);
  if (p == nullptr) return failed;
  Place place = place_of(p);
  if (place.folder < 0) return failed;
  Result result = call(place);
  close_place(place);
  return result;
}

}  // namespace

Text read_file(Text& path) {
  return at_place(path, Text(), [](const Place& place) { return read_place(place); });
}

int64_t write_file(Text& path, Bytes text) {
  return at_place(path, int64_t{0},
                  [text](const Place& place) { return write_place(place, text); });
}

int64_t append_file(Text& path, Bytes text) {
  return at_place(path, int64_t{0},
                  [text](const Place& place) { return append_place(place, text); });
}

int64_t file_exists(Text& path) {
  return file_size(path) >= 0 ? 1 : 0;
}

int64_t file_size(Text& path) {
  return at_place(path, int64_t{-1}, [](const Place& place) { return size_at(place); });
}

int64_t delete_file(Text& path) {
  return at_place(path, int64_t{0}, [](const Place& place) { return delete_at(place); });
}

int64_t make_folder(Text& path) {
  return at_place(path, int64_t{0}, [](const Place& place) {
    return int64_t{mkdirat(place.folder, place.name, 0777) == 0 ? 1 : 0};
  });
}

}  // namespace sr::zr
