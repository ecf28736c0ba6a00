#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <limits>
#include <optional>

#include "runtime/datetime/c_path.h"
#include "runtime/datetime/files.h"

namespace sr {
namespace {

std::optional<struct stat> status_of(std::string_view path) {
  const std::optional<std::string> name = c_path(path);
  struct stat status {};
  if (!name || stat(name->c_str(), &status) != 0) return std::nullopt;
  return status;
}

// File times are kept in 32 bits; a time beyond that range is held at its edge so that
// comparisons between file times keep their order.
std::int32_t clamp_to_32_bits(time_t seconds) {
  return static_cast<std::int32_t>(std::clamp<time_t>(
      seconds, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

}  // namespace

std::int64_t file_size(std::string_view path) {
  const std::optional<struct stat> status = status_of(path);
  if (!status) return -1;
  if (S_ISDIR(status->st_mode)) return -2;
  // The size field is 32 bits wide: a larger file cannot be examined.
  if (status->st_size > std::numeric_limits<std::int32_t>::max()) return -1;
  return status->st_size;
}

std::int32_t file_date(std::string_view path, std::int32_t kind) {
  const std::optional<struct stat> status = status_of(path);
  if (!status) return 0;
  return clamp_to_32_bits(kind == 1 ? status->st_atime : status->st_mtime);
}

int delete_file(std::string_view path) {
  const std::optional<std::string> name = c_path(path);
  return name && unlink(name->c_str()) == 0 ? 1 : 0;
}

std::string temporary_directory() {
  return "/tmp/";
}

}  // namespace sr
