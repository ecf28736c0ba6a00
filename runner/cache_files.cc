#include "runner/cache_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace sr {
namespace {

bool is_ours(const struct stat& st) {
  return S_ISREG(st.st_mode) && st.st_uid == geteuid();
}

std::string read_all(int fd) {
  std::string text;
  char buffer[4096];
  off_t offset = 0;
  while (true) {
    ssize_t n = pread(fd, buffer, sizeof buffer, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return text;
    text.append(buffer, static_cast<std::size_t>(n));
    offset += n;
  }
}

// Opens an existing or new record without following a link; -1 unless it is a file of ours
// that nobody else may write. O_NONBLOCK keeps a planted named pipe from stalling the open.
int open_record(const std::string& path, int flags) {
  int fd = open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0 || !is_ours(st) || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

CachedFile inspect_cached_file(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0)
    return errno == ENOENT ? CachedFile::missing : CachedFile::foreign;
  if (!is_ours(st)) return CachedFile::foreign;
  return (st.st_mode & (S_IWGRP | S_IWOTH)) ? CachedFile::rewritable : CachedFile::trusted;
}

void make_private(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0 || !is_ours(st)) return;
  if (st.st_mode & (S_IWGRP | S_IWOTH)) chmod(path.c_str(), st.st_mode & 07755);
}

std::string script_record_path(const std::string& executable_path) {
  return executable_path + ".script";
}

ScriptRecord::~ScriptRecord() {
  if (fd_ >= 0) close(fd_);
}

bool ScriptRecord::open_locked(const std::string& executable_path) {
  fd_ = open_record(script_record_path(executable_path), O_RDWR | O_CREAT);
  if (fd_ < 0) return false;
  while (flock(fd_, LOCK_EX) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

std::string ScriptRecord::read() const {
  return fd_ < 0 ? std::string() : read_all(fd_);
}

// A record that cannot be written only costs the next run a rebuild, so failures are ignored.
void ScriptRecord::clear() {
  if (fd_ >= 0) [[maybe_unused]]
    int ignored = ftruncate(fd_, 0);
}

void ScriptRecord::write(std::string_view script_path) {
  if (fd_ < 0) return;
  const char* data = script_path.data();
  std::size_t left = script_path.size();
  off_t offset = 0;
  while (left > 0) {
    ssize_t n = pwrite(fd_, data, left, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    data += n;
    left -= static_cast<std::size_t>(n);
    offset += n;
  }
  [[maybe_unused]] int ignored = ftruncate(fd_, offset);
}

std::string read_script_record(const std::string& executable_path) {
  int fd = open_record(script_record_path(executable_path), O_RDONLY);
  if (fd < 0) return {};
  std::string text = read_all(fd);
  close(fd);
  return text;
}

}  // namespace sr
