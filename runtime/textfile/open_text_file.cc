#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "runtime/textfile/handle_table.h"
#include "runtime/textfile/textfile.h"

namespace sr {
namespace {

int open_path(std::string_view path, int flags, mode_t mode = 0) {
  // A path with a zero byte would silently name a shorter path.
  if (path.find('\0') != std::string_view::npos) return -1;
  std::string name(path);
  // No controlling terminal may be picked up on the way to refusing a device.
  int fd;
  do {
    fd = ::open(name.c_str(), flags | O_CLOEXEC | O_NOCTTY, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

bool is_regular(const FileDescriptor& fd) {
  struct stat info;
  return ::fstat(fd.get(), &info) == 0 && S_ISREG(info.st_mode);
}

bool is_own_regular(const FileDescriptor& fd) {
  struct stat info;
  return ::fstat(fd.get(), &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid();
}

TextFile register_file(FileDescriptor& fd) {
  auto file = make_text_file_record(fd.get());
  if (!file) return 0;
  fd.release();
  return add_text_file(std::move(file));
}

// Opened read/write without truncation, so that a file we must refuse is never changed; only a
// regular file of our own is accepted and a symbolic link is never followed.
TextFile open_own_file(std::string_view path, bool truncate) {
  FileDescriptor fd(open_path(path, O_RDWR | O_CREAT | O_NOFOLLOW, 0666));
  if (fd.get() < 0 || !is_own_regular(fd)) return 0;
  if (truncate && ::ftruncate(fd.get(), 0) != 0) return 0;
  return register_file(fd);
}

}  // namespace

TextFile create_text_file(std::string_view path) {
  return open_own_file(path, true);
}

TextFile open_text_file(std::string_view path) {
  return open_own_file(path, false);
}

TextFile open_text_file_read_only(std::string_view path) {
  // Non-blocking so that opening a FIFO without a writer returns at once, and is then refused.
  FileDescriptor fd(open_path(path, O_RDONLY | O_NONBLOCK));
  if (fd.get() < 0 || !is_regular(fd)) return 0;
  int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) < 0) return 0;
  return register_file(fd);
}

}  // namespace sr
