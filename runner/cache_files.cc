#include "runner/cache_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

namespace sr {
namespace {

// A failed build is recorded as the script path, this mark, the time and the message, separated
// by NUL bytes, which no path holds.
constexpr std::string_view kFailedMark = "failed";

bool is_ours(const struct stat& st) {
  return S_ISREG(st.st_mode) && st.st_uid == geteuid();
}

bool others_may_write(const struct stat& st) {
  return (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
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
  if (fstat(fd, &st) != 0 || !is_ours(st) || others_may_write(st)) {
    close(fd);
    return -1;
  }
  return fd;
}

RecordedBuild parse_record(const std::string& text) {
  RecordedBuild build;
  const std::size_t end = text.find('\0');
  build.script = text.substr(0, end);
  if (end == std::string::npos) return build;
  const std::size_t time_at = end + 1 + kFailedMark.size() + 1;
  const std::size_t message_at = text.find('\0', time_at);
  if (text.compare(end + 1, kFailedMark.size(), kFailedMark) != 0 ||
      message_at == std::string::npos)
    return {};
  build.failed = true;
  build.failed_at_ns = std::strtoll(text.c_str() + time_at, nullptr, 10);
  build.message = text.substr(message_at + 1);
  return build;
}

}  // namespace

CachedFile inspect_cached_file(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0)
    return errno == ENOENT ? CachedFile::missing : CachedFile::foreign;
  if (!is_ours(st)) return CachedFile::foreign;
  return others_may_write(st) ? CachedFile::rewritable : CachedFile::trusted;
}

int open_trusted_executable(const std::string& path, struct stat& status) {
  const int fd = open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -1;
  if (fstat(fd, &status) != 0 || !is_ours(status) || others_may_write(status)) {
    close(fd);
    return -1;
  }
  return fd;
}

void make_owner_only(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0 || !is_ours(st)) return;
  if (st.st_mode & 077) chmod(path.c_str(), st.st_mode & 0700);
}

bool remove_own_file(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return errno == ENOENT;
  if (!is_ours(st)) return false;
  return unlink(path.c_str()) == 0 || errno == ENOENT;
}

long owner_of(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_uid) : -1;
}

bool create_private_file(const std::string& path) {
  const int fd =
      open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  close(fd);
  return true;
}

std::int64_t wall_clock_ns() {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

ScriptRecord::~ScriptRecord() {
  if (fd_ >= 0) close(fd_);
}

bool ScriptRecord::open_locked(const std::string& record_path) {
  fd_ = open_record(record_path, O_RDWR | O_CREAT);
  if (fd_ < 0) return false;
  while (flock(fd_, LOCK_EX) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

RecordedBuild ScriptRecord::read() const {
  return fd_ < 0 ? RecordedBuild{} : parse_record(read_all(fd_));
}

// A record that cannot be written only costs the next run a rebuild, so failures are ignored.
void ScriptRecord::clear() {
  if (fd_ >= 0) [[maybe_unused]]
    int ignored = ftruncate(fd_, 0);
}

void ScriptRecord::write(std::string_view script_path) {
  write_text(script_path);
}

void ScriptRecord::write_failure(std::string_view script_path, std::string_view message) {
  std::string text(script_path);
  text.push_back('\0');
  text.append(kFailedMark).push_back('\0');
  text.append(std::to_string(wall_clock_ns())).push_back('\0');
  text.append(message);
  write_text(text);
}

void ScriptRecord::write_text(std::string_view text) {
  if (fd_ < 0) return;
  const char* data = text.data();
  std::size_t left = text.size();
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

RecordedBuild read_record(const std::string& record_path) {
  int fd = open_record(record_path, O_RDONLY);
  if (fd < 0) return {};
  const RecordedBuild build = parse_record(read_all(fd));
  close(fd);
  return build;
}

}  // namespace sr
