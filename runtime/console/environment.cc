#include <cstdlib>
#include <string>

#include "runtime/console/console.h"

namespace sr {
namespace {

// Names and values are C strings to the environment: a NUL ends them.
std::string c_string(std::string_view text) {
  return std::string(text.substr(0, text.find('\0')));
}

}  // namespace

std::string get_environment_variable(std::string_view name) {
  const char* value = std::getenv(c_string(name).c_str());
  return value == nullptr ? std::string() : std::string(value);
}

void set_environment_variable(std::string_view name, std::string_view value) {
  const std::string key = c_string(name);
  if (key.empty()) return;
  // A name with "=" makes setenv fail; like every setenv failure that is ignored.
  setenv(key.c_str(), c_string(value).c_str(), 1);
}

}  // namespace sr
