#include "fcgi/request_environment.h"

#include <functional>

namespace sr::fcgi {
namespace {

constexpr std::size_t kFirstSlots = 64;
constexpr std::size_t kFirstText = 4096;

bool valid_name(std::string_view name) {
  if (name.empty()) return false;
  for (const char c : name) {
    if (c == '=' || c == '\0') return false;
  }
  return true;
}

bool entry_named(std::string_view entry, std::string_view name) {
  return entry.size() > name.size() && entry[name.size()] == '=' && entry.starts_with(name);
}

}  // namespace

std::size_t RequestEnvironment::slot_of(std::string_view name) const {
  const std::size_t mask = slots_.size() - 1;
  const std::size_t first = std::hash<std::string_view>()(name) & mask;
  for (std::size_t at = first;; at = (at + 1) & mask) {
    const std::uint32_t slot = slots_[at];
    if (slot == 0 || entry_named(entry(slot - 1), name)) return at;
  }
}

void RequestEnvironment::index_all() {
  std::size_t size = kFirstSlots;
  while (size < 2 * (spans_.size() + 1)) size *= 2;
  spans_.reserve(size / 2);
  slots_.assign(size, 0);
  for (std::size_t i = 0; i < spans_.size(); ++i) {
    const std::string_view text = entry(i);
    slots_[slot_of(text.substr(0, text.find('=')))] = static_cast<std::uint32_t>(i + 1);
  }
}

void RequestEnvironment::set(std::string_view name, std::string_view value) {
  if (!valid_name(name)) return;
  value = value.substr(0, value.find('\0'));
  if (text_.empty()) text_.reserve(kFirstText);
  const Span span{static_cast<std::uint32_t>(text_.size()),
                  static_cast<std::uint32_t>(name.size() + 1 + value.size())};
  text_.append(name).append(1, '=').append(value).append(1, '\0');
  // Kept at most half full, so that a search always ends at an empty slot.
  if (2 * (spans_.size() + 1) > slots_.size()) index_all();
  std::uint32_t& slot = slots_[slot_of(name)];
  if (slot == 0) {
    if (recording_) changes_.push_back({spans_.size(), {}});
    spans_.push_back(span);
    slot = static_cast<std::uint32_t>(spans_.size());
  } else {
    if (recording_) changes_.push_back({slot - 1, spans_[slot - 1]});
    spans_[slot - 1] = span;
  }
}

void RequestEnvironment::checkpoint() {
  recording_ = true;
  changes_.clear();
}

void RequestEnvironment::rollback() {
  for (auto change = changes_.rbegin(); change != changes_.rend(); ++change) {
    if (change->previous.size != 0) {
      spans_[change->at] = change->previous;
    } else {
      spans_.erase(spans_.begin() + static_cast<std::ptrdiff_t>(change->at));
    }
  }
  changes_.clear();
  recording_ = false;
  index_all();
}

bool runner_variable(std::string_view name) {
  return name.starts_with("ZR_Interpreter_") || name == "TAMRIVOLE_HOME";
}

std::string RequestEnvironment::get(std::string_view name) const {
  if (slots_.empty() || !valid_name(name)) return {};
  const std::uint32_t slot = slots_[slot_of(name)];
  if (slot == 0) return {};
  return std::string(entry(slot - 1).substr(name.size() + 1));
}

bool RequestEnvironment::has(std::string_view name) const {
  return !slots_.empty() && valid_name(name) && slots_[slot_of(name)] != 0;
}

std::vector<char*> RequestEnvironment::entries() {
  std::vector<char*> pointers;
  pointers.reserve(spans_.size() + 1);
  for (const Span& span : spans_) pointers.push_back(text_.data() + span.start);
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
