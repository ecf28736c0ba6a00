#include "runner/cache_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "runtime/files/full_io.h"
#include "runtime/files/shared_folder.h"

namespace sr {
namespace {

// A failed build is recorded as the script path, this mark, the time and the message, separated
// by NUL bytes, which no path holds.
constexpr std::string_view kFailedMark = "failed";
// A good build: the script path, this mark and the script's identity as five decimal numbers.
constexpr std::string_view kBuiltMark = "built";

// The owner too: a program of the same user (another author's script) could rewrite it.
bool anybody_may_write(const struct stat& st) {
  return (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0;
}

std::string read_all(int fd) {
  std::string text;
  char buffer[4096];
  std::size_t n;
  do {
    n = read_full_at(fd, buffer, sizeof buffer, static_cast<off_t>(text.size()));
    text.append(buffer, n);
  } while (n == sizeof buffer);  // a short read met the end
  return text;
}

// Opens an existing or new record; empty unless it is a file of ours that nobody else may write.
// It is only read and written at offsets, where O_NONBLOCK changes nothing for a regular file.
UniqueFd open_record(const std::string& path, int flags) {
  struct stat st;
  UniqueFd fd = open_own_file(path.c_str(), flags | O_NONBLOCK, 0600, st);
  if (fd && others_may_write(st)) fd.reset();
  return fd;
}

std::optional<ScriptIdentity> parse_identity(const std::string& text) {
  ScriptIdentity id;
  unsigned long long device, inode;
  long long size, seconds, nanoseconds;
  char end;
  if (std::sscanf(text.c_str(), "%llu %llu %lld %lld %lld%c", &device, &inode, &size, &seconds,
                  &nanoseconds, &end) != 5)
    return std::nullopt;
  id.device = device;
  id.inode = inode;
  id.size = size;
  id.modified_s = seconds;
  id.modified_ns = nanoseconds;
  return id;
}

RecordedBuild parse_record(const std::string& text) {
  RecordedBuild build;
  const std::size_t end = text.find('\0');
  build.script = text.substr(0, end);
  if (end == std::string::npos) return build;
  const std::string built = std::string(kBuiltMark) + '\0';
  if (text.compare(end + 1, built.size(), built) == 0) {
    build.built_from = parse_identity(text.substr(end + 1 + built.size()));
    return build;
  }
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
  if (!is_own_regular(st)) return CachedFile::foreign;
  return anybody_may_write(st) ? CachedFile::rewritable : CachedFile::trusted;
}

UniqueFd open_trusted_executable(const std::string& path, struct stat& status) {
  UniqueFd fd = open_own_file(path.c_str(), O_PATH, 0, status);
  if (fd && anybody_may_write(status)) fd.reset();
  return fd;
}

void make_owner_read_only(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0 || !is_own_regular(st)) return;
  if (st.st_mode & 07277) chmod(path.c_str(), st.st_mode & 0500);
}

std::optional<ScriptIdentity> identify_script(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return std::nullopt;
  return ScriptIdentity{
      static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
      static_cast<std::int64_t>(st.st_size), static_cast<std::int64_t>(st.st_mtim.tv_sec),
      static_cast<std::int64_t>(st.st_mtim.tv_nsec)};
}

bool remove_own_file(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return errno == ENOENT;
  if (!is_own_regular(st)) return false;
  return unlink(path.c_str()) == 0 || errno == ENOENT;
}

long owner_of(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_uid) : -1;
}

bool create_private_file(const std::string& path) {
  return static_cast<bool>(UniqueFd(
      open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600)));
}

std::int64_t wall_clock_ns() {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

bool ScriptRecord::open_locked(const std::string& record_path) {
  fd_ = open_record(record_path, O_RDWR | O_CREAT);
  if (!fd_) return false;
  while (flock(fd_.get(), LOCK_EX) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

RecordedBuild ScriptRecord::read() const {
  return fd_ ? parse_record(read_all(fd_.get())) : RecordedBuild{};
}

// A record that cannot be written only costs the next run a rebuild, so failures are ignored.
void ScriptRecord::clear() {
  if (fd_) [[maybe_unused]]
    int ignored = ftruncate(fd_.get(), 0);
}

void ScriptRecord::write(std::string_view script_path, const ScriptIdentity& built_from) {
  std::string text(script_path);
  text.push_back('\0');
  text.append(kBuiltMark).push_back('\0');
  text.append(std::to_string(built_from.device) + " " + std::to_string(built_from.inode) + " " +
              std::to_string(built_from.size) + " " + std::to_string(built_from.modified_s) + " " +
              std::to_string(built_from.modified_ns));
  write_text(text);
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
  if (!fd_) return;
  if (write_full_at(fd_.get(), text.data(), text.size(), 0) != text.size()) return;
  [[maybe_unused]] int ignored = ftruncate(fd_.get(), static_cast<off_t>(text.size()));
}

RecordedBuild read_record(const std::string& record_path) {
  const UniqueFd fd = open_record(record_path, O_RDONLY);
  return fd ? parse_record(read_all(fd.get())) : RecordedBuild{};
}

}  // namespace sr
