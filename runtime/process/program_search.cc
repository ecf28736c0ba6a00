#include "runtime/process/program_search.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace sr {
namespace {

bool runnable(const char* path) {
  struct stat info;
  if (::stat(path, &info) != 0) return false;
  if (S_ISDIR(info.st_mode) || info.st_size < 1) return false;
  return ::access(path, X_OK) == 0;
}

// False when the joined name does not fit; such a path could not be opened anyway.
bool join(std::string_view directory, std::string_view program, char* out, std::size_t capacity) {
  bool slash = !directory.empty() && directory.back() != '/';
  std::size_t length = directory.size() + (slash ? 1 : 0) + program.size();
  if (length + 1 > capacity) return false;
  char* end = std::copy(directory.begin(), directory.end(), out);
  if (slash) *end++ = '/';
  end = std::copy(program.begin(), program.end(), end);
  *end = '\0';
  return true;
}

}  // namespace

bool find_program(std::string_view program, char* found, std::size_t capacity) {
  if (program.find('/') != std::string_view::npos) {
    if (join({}, program, found, capacity) && runnable(found)) return true;
    if (program.starts_with("/") || program.starts_with("./")) return false;
  }
  const char* path = std::getenv("PATH");
  if (!path) return false;
  std::string_view rest(path);
  while (!rest.empty()) {
    std::size_t colon = rest.find(':');
    std::string_view piece = rest.substr(0, colon);
    rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
    if (piece.empty()) continue;
    if (join(piece, program, found, capacity) && runnable(found)) return true;
  }
  return false;
}

bool anchor_to_current_directory(char* path, std::size_t capacity) {
  if (path[0] == '/') return true;
  char directory[PATH_MAX];
  if (!::getcwd(directory, sizeof directory)) return false;
  char relative[PATH_MAX];
  std::size_t length = std::strlen(path);
  if (length + 1 > sizeof relative) return false;
  std::memcpy(relative, path, length + 1);
  return join(directory, std::string_view(relative, length), path, capacity);
}

}  // namespace sr
