#include "compiler/stub/file_functions.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "compiler/stub/random_numbers.h"

namespace sr::zr {
namespace {

constexpr int kSafeOpen = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
constexpr int kTemporaryNameTries = 100;

// The path for the C library; null when it is empty, or holds a zero byte and so names another
// file.
const char* c_path(Text& path) {
  const char* c = path.c_str();
  return !path.empty() && strlen(c) == path.size() ? c : nullptr;
}

// A folder that anyone may add files to but only their owners remove, like /tmp.
bool is_shared_sticky(const struct stat& folder) {
  return (folder.st_mode & S_ISVTX) != 0 && (folder.st_mode & S_IWOTH) != 0;
}

// Whether `file` at `path` was left by another user in a shared sticky folder that is not theirs:
// such a file is someone's plant, not ours to read or extend.
bool planted_by_another(const char* path, const struct stat& file) {
  if (file.st_uid == geteuid()) return false;
  const char* slash = strrchr(path, '/');
  Text folder(slash == nullptr ? bytes_of(".")
              : slash == path  ? bytes_of("/")
                               : Bytes{path, static_cast<size_t>(slash - path)});
  struct stat st;
  if (stat(folder.c_str(), &st) != 0) return true;
  return is_shared_sticky(st) && st.st_uid != file.st_uid;
}

// Opens a regular file at `path` without following a link there; -1 for anything else.
int open_regular(const char* path, int flags, struct stat& st) {
  int fd = open(path, flags | kSafeOpen, 0666);
  if (fd < 0) return -1;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || planted_by_another(path, st)) {
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

// The mode a replacement of `path` gets: the old file's permissions when there is one we may
// write, 0666 less the umask for a new one. False when `path` must not be replaced: a link, a
// read-only or foreign-planted file, or anything but a regular file.
bool replacement_mode(const char* path, mode_t& mode, bool& keep_mode) {
  struct stat st;
  keep_mode = false;
  mode = 0666;
  if (lstat(path, &st) != 0) return errno == ENOENT;
  if (!S_ISREG(st.st_mode)) return false;
  int fd = open_regular(path, O_WRONLY, st);  // proves that we may change it
  if (fd < 0) return false;
  close(fd);
  keep_mode = true;
  mode = st.st_mode & 0777;
  return true;
}

// Creates `path` + ".tmp-XXXXXXXX" exclusively, so no existing file or link is ever opened.
int create_temporary(const char* path, Text& name) {
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  for (int attempt = 0; attempt < kTemporaryNameTries; ++attempt) {
    name.clear();
    name.append(bytes_of(path));
    name.append(bytes_of(".tmp-"));
    for (int i = 0; i < 8; ++i) name.push_back(kLetters[random_below(sizeof kLetters - 1)]);
    int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | kSafeOpen, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

}  // namespace

Text read_file(Text& path) {
  const char* p = c_path(path);
  struct stat st;
  int fd = p == nullptr ? -1 : open_regular(p, O_RDONLY, st);
  if (fd < 0) return Text();
  Text content;
  content.reserve(static_cast<size_t>(st.st_size) + 1);
  const bool complete = read_rest(fd, content);
  close(fd);
  return complete ? moved(content) : Text();
}

int64_t write_file(Text& path, Bytes text) {
  const char* p = c_path(path);
  mode_t mode;
  bool keep_mode;
  if (p == nullptr || !replacement_mode(p, mode, keep_mode)) return 0;
  Text temporary;
  int fd = create_temporary(p, temporary);
  if (fd < 0) return 0;
  bool written = (!keep_mode || fchmod(fd, mode) == 0) && write_all(fd, text);
  written = close(fd) == 0 && written;
  if (written && rename(temporary.c_str(), p) == 0) return 1;
  unlink(temporary.c_str());
  return 0;
}

int64_t append_file(Text& path, Bytes text) {
  const char* p = c_path(path);
  struct stat st;
  int fd = p == nullptr ? -1 : open_regular(p, O_WRONLY | O_APPEND | O_CREAT, st);
  if (fd < 0) return 0;
  int locked;
  while ((locked = flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
  }
  bool appended = locked == 0 && fstat(fd, &st) == 0;
  if (appended && !write_all(fd, text)) {
    // A part of the text would run into the next appender's; the file is put back as it was.
    [[maybe_unused]] int ignored = ftruncate(fd, st.st_size);
    appended = false;
  }
  return close(fd) == 0 && appended ? 1 : 0;
}

int64_t file_exists(Text& path) {
  return file_size(path) >= 0 ? 1 : 0;
}

int64_t file_size(Text& path) {
  const char* p = c_path(path);
  struct stat st;
  if (p == nullptr || lstat(p, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return static_cast<int64_t>(st.st_size);
}

int64_t delete_file(Text& path) {
  const char* p = c_path(path);
  struct stat st;
  if (p == nullptr || lstat(p, &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  return unlink(p) == 0 ? 1 : 0;
}

}  // namespace sr::zr
