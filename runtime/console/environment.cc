#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <memory_resource>
#include <string>
#include <string_view>
#include <unordered_map>

#include "runtime/console/console.h"

namespace sr {
namespace {

// Names and values are C strings to the environment: a NUL ends them.
std::string_view up_to_nul(std::string_view text) {
  return text.substr(0, text.find('\0'));
}

std::string c_string(std::string_view text) {
  return std::string(up_to_nul(text));
}

// Writes "key=value" and its NUL at `free_space`, moves it past them, and returns the entry.
char* append_entry(char*& free_space, std::string_view key, std::string_view value) {
  char* entry = free_space;
  free_space = std::copy(key.begin(), key.end(), free_space);
  *free_space++ = '=';
  free_space = std::copy(value.begin(), value.end(), free_space);
  *free_space++ = '\0';
  return entry;
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
  // The entries must outlive every later use of the environment, like those setenv makes. One
  // block per call holds them all: a request exports a hundred variables at a time.
  static std::vector<std::unique_ptr<char[]>> blocks;
  static std::vector<char*> table;
  std::size_t existing = 0;
  while (environ[existing] != nullptr) ++existing;
  std::vector<char*> next;
  next.reserve(existing + variables.size() + 1);
  // The index lives only for this call: its nodes come from one arena, not one malloc each.
  std::pmr::monotonic_buffer_resource arena;
  std::pmr::unordered_map<std::string_view, std::size_t> index(&arena);
  index.reserve(existing + variables.size());
  for (std::size_t i = 0; i < existing; ++i) {
    const std::string_view entry(environ[i]);
    index.emplace(entry.substr(0, entry.find('=')), next.size());
    next.push_back(environ[i]);
  }
  std::size_t bytes = 0;
  for (const auto& [name, value] : variables) bytes += name.size() + value.size() + 2;
  std::unique_ptr<char[]> block(new char[bytes]);
  char* free_space = block.get();
  for (const auto& [name, value] : variables) {
    const std::string_view key = up_to_nul(name);
    // The platform refuses an empty name and one holding "=", as setenv does.
    if (key.empty() || key.find('=') != std::string_view::npos) continue;
    char* entry = append_entry(free_space, key, up_to_nul(value));
    auto [at, added] = index.emplace(std::string_view(entry, key.size()), next.size());
    if (added) {
      next.push_back(entry);
    } else {
      next[at->second] = entry;
    }
  }
  next.push_back(nullptr);
  blocks.push_back(std::move(block));
  table = std::move(next);
  environ = table.data();
}

}  // namespace sr
