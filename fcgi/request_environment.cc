#include "fcgi/request_environment.h"

namespace sr::fcgi {

void RequestEnvironment::set(std::string_view name, std::string_view value) {
  if (name.empty() || name.find_first_of(std::string_view("=\0", 2)) != std::string_view::npos) {
    return;
  }
  std::string entry(name);
  entry += '=';
  entry += value.substr(0, value.find('\0'));
  const auto [at, added] = index_.try_emplace(std::string(name), entries_.size());
  if (added) {
    entries_.push_back(std::move(entry));
  } else {
    entries_[at->second] = std::move(entry);
  }
}

std::string RequestEnvironment::get(std::string_view name) const {
  const auto found = index_.find(std::string(name));
  if (found == index_.end()) return {};
  return entries_[found->second].substr(name.size() + 1);
}

bool RequestEnvironment::has(std::string_view name) const {
  return index_.contains(std::string(name));
}

std::vector<char*> RequestEnvironment::entries() {
  std::vector<char*> pointers;
  pointers.reserve(entries_.size() + 1);
  for (std::string& entry : entries_) pointers.push_back(entry.data());
  pointers.push_back(nullptr);
  return pointers;
}

RequestEnvironment request_environment(
    const NameValuePairs& params, const std::vector<std::pair<std::string, std::string>>& extra) {
  RequestEnvironment environment;
  for (const auto& [name, value] : params) environment.set(name, value);
  for (const auto& [name, value] : extra) environment.set(name, value);
  return environment;
}

}  // namespace sr::fcgi
