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
    if (recording_) changes_.push_back({entries_.size(), {}});
    entries_.push_back(std::move(entry));
  } else {
    if (recording_) changes_.push_back({at->second, entries_[at->second]});
    entries_[at->second] = std::move(entry);
  }
}

void RequestEnvironment::checkpoint() {
  recording_ = true;
  changes_.clear();
}

void RequestEnvironment::rollback() {
  for (auto change = changes_.rbegin(); change != changes_.rend(); ++change) {
    if (!change->previous.empty()) {
      entries_[change->at] = std::move(change->previous);
      continue;
    }
    const std::string& added = entries_[change->at];
    index_.erase(added.substr(0, added.find('=')));
    entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(change->at));
  }
  changes_.clear();
  recording_ = false;
}

bool runner_variable(std::string_view name) {
  return name.starts_with("ZR_Interpreter_") || name == "TAMRIVOLE_HOME";
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
  for (const auto& [name, value] : params) {
    // A request must not switch on the runner's modes or move its home.
    if (!runner_variable(name)) environment.set(name, value);
  }
  for (const auto& [name, value] : extra) environment.set(name, value);
  return environment;
}

}  // namespace sr::fcgi
