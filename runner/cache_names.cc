#include "runner/cache_names.h"

#include <cstdint>
#include <cstdio>

#include "runtime/datetime/datetime.h"
#include "runtime/datetime/files.h"
#include "runtime/strings/strings.h"

namespace sr {
namespace {

// FNV-1a: stable across builds and machines, so a colliding script keeps its name.
std::uint64_t path_digest(const std::string& path) {
  std::uint64_t hash = 0xcbf29ce484222325ull;
  for (unsigned char c : path) {
    hash ^= c;
    hash *= 0x100000001b3ull;
  }
  return hash;
}

}  // namespace

std::string specified_executable_name(const std::string& script_path) {
  return temporary_directory() + "zr-executable_" + remove_string(script_path, "/");
}

std::string colliding_executable_name(const std::string& script_path) {
  char digits[17];
  std::snprintf(digits, sizeof digits, "%016llx",
                static_cast<unsigned long long>(path_digest(script_path)));
  return specified_executable_name(script_path) + "_" + digits;
}

std::string force_suffix() {
  return format_date("_%yyyy-%mm-%dd_%hh-%ii-%ss_CanBeDeleted_", current_date()) +
         number_to_string(random_number(9999999)) + ".tmp";
}

std::string record_name(const std::string& executable) {
  return executable + ".script";
}

std::string source_name(const std::string& executable) {
  return executable + ".zr";
}

std::string partial_prefix(const std::string& executable) {
  return executable + ".tmp-";
}

}  // namespace sr
