// Opening files where other users can create names too (/tmp): no link is followed, nothing
// blocks on a planted pipe or device, and only a regular file passes.
#pragma once

#include <sys/stat.h>

#include "runtime/files/unique_fd.h"

namespace sr {

// A regular file owned by this process's effective user.
bool is_own_regular(const struct stat& status);
// Group or others may write it: anybody could change it after our checks.
bool others_may_write(const struct stat& status);

// Opens `path` with `flags` (O_CREAT with `mode` allowed), never through a symbolic link, and
// fills `status` from the open file. Empty unless it is a regular file of this user's; the
// caller checks the rest (who else may write it, whether it is some other known file).
// Nothing is truncated here, so a refused file stays as it was. The descriptor is blocking
// unless `flags` holds O_NONBLOCK (which saves two calls where it makes no difference).
UniqueFd open_own_file(const char* path, int flags, mode_t mode, struct stat& status);

// Opens an existing file for reading, wherever it lies, without blocking on a pipe or device,
// and fills `status`. Empty unless it is a regular file.
UniqueFd open_regular_file(const char* path, struct stat& status);

}  // namespace sr
