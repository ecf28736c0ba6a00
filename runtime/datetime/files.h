// File-system queries and the few file operations the runner needs.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace sr {

// Size in bytes; -1 when the path cannot be examined (or the size does not fit 32 bits),
// -2 for a directory.
std::int64_t file_size(std::string_view path);

// Kind 1: last access; any other kind: last modification. 0 when the path cannot be examined.
std::int32_t file_date(std::string_view path, std::int32_t kind);

// 1 on success, 0 on failure. Only a regular file is copied; a short read or a failed write
// fails. The destination is never reached through a symbolic link and is never a file of
// another user: such a destination fails the copy untouched.
int copy_file(std::string_view source, std::string_view destination);

// 1 when unlink succeeds, else 0.
int delete_file(std::string_view path);

// Always "/tmp/".
std::string temporary_directory();

}  // namespace sr
