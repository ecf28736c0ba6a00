#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "runtime/files/shared_folder.h"
#include "runtime/textfile/handle_table.h"
#include "runtime/textfile/textfile.h"

namespace sr {
namespace {

// A path with a zero byte would silently name a shorter path.
bool usable_path(std::string_view path) {
  return path.find('\0') == std::string_view::npos;
}

TextFile register_file(UniqueFd& fd) {
  auto file = make_text_file_record(fd.get());
  if (!file) return 0;
  fd.release();
  return add_text_file(std::move(file));
}

// Opened read/write without truncation, so that a file we must refuse is never changed; only a
// regular file of our own is accepted and a symbolic link is never followed.
TextFile open_own_text_file(std::string_view path, bool truncate) {
  if (!usable_path(path)) return 0;
  struct stat status;
  UniqueFd fd = open_own_file(std::string(path).c_str(), O_RDWR | O_CREAT, 0666, status);
  if (!fd) return 0;
  if (truncate && ::ftruncate(fd.get(), 0) != 0) return 0;
  return register_file(fd);
}

}  // namespace

TextFile create_text_file(std::string_view path) {
  return open_own_text_file(path, true);
}

TextFile open_text_file(std::string_view path) {
  return open_own_text_file(path, false);
}

TextFile open_text_file_read_only(std::string_view path) {
  if (!usable_path(path)) return 0;
  struct stat status;
  UniqueFd fd = open_regular_file(std::string(path).c_str(), status);
  if (!fd) return 0;
  return register_file(fd);
}

}  // namespace sr
