#include <unistd.h>

#include <cstdlib>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>

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

void set_environment_variables(const std::vector<std::pair<std::string, std::string>>& variables) {
  // The entries must outlive every later use of the environment, like those setenv makes.
  static std::deque<std::string> entries;
  static std::vector<char*> table;
  std::vector<char*> next;
  std::unordered_map<std::string_view, std::size_t> index;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string_view entry(*e);
    index.emplace(entry.substr(0, entry.find('=')), next.size());
    next.push_back(*e);
  }
  for (const auto& [name, value] : variables) {
    const std::string key = c_string(name);
    // The platform refuses an empty name and one holding "=", as setenv does.
    if (key.empty() || key.find('=') != std::string::npos) continue;
    std::string& entry = entries.emplace_back(key + "=" + c_string(value));
    const std::string_view stored_name(entry.data(), key.size());
    auto [at, added] = index.emplace(stored_name, next.size());
    if (added) {
      next.push_back(entry.data());
    } else {
      next[at->second] = entry.data();
    }
  }
  next.push_back(nullptr);
  table = std::move(next);
  environ = table.data();
}

}  // namespace sr
