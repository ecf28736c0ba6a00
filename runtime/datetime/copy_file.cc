#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "runtime/datetime/c_path.h"
#include "runtime/datetime/copy_blocks.h"
#include "runtime/datetime/files.h"
#include "runtime/files/shared_folder.h"

namespace sr {
namespace {

// The destination lies in the shared /tmp: it is never reached through a symbolic link, never
// a file of another user, never the source itself, and it is truncated only once all of that
// is known.
UniqueFd open_destination(const char* path, const struct stat& source) {
  struct stat status {};
  UniqueFd fd = open_own_file(path, O_WRONLY | O_CREAT, 0644, status);
  if (!fd || (status.st_dev == source.st_dev && status.st_ino == source.st_ino) ||
      ftruncate(fd.get(), 0) != 0) {
    return UniqueFd();
  }
  return fd;
}

}  // namespace

int copy_file(std::string_view source, std::string_view destination) {
  const std::optional<std::string> from_path = c_path(source);
  const std::optional<std::string> to_path = c_path(destination);
  if (!from_path || !to_path) return 0;

  // Only a regular source passes: anything else never ends, blocks, or reports a size that
  // means nothing.
  struct stat source_status {};
  const UniqueFd from = open_regular_file(from_path->c_str(), source_status);
  if (!from) return 0;
  UniqueFd to = open_destination(to_path->c_str(), source_status);
  if (!to) return 0;

  // The size is taken once; a source that shrinks meanwhile ends in a short read.
  if (!copy_blocks(from.get(), to.get(), source_status.st_size)) return 0;
  return to.close_checked() ? 1 : 0;
}

}  // namespace sr
