#include "fcgi/warm_memo.h"

namespace sr::fcgi {

ScriptLaunch WarmMemo::check(const std::string& path, Entry*& entry) {
  entry = nullptr;
  // Taken before the check: a change after it shows as another stamp, never as this one.
  const std::optional<FileStamp> stamp =
      path.starts_with('/') ? stamp_at(path, true) : std::nullopt;
  auto found = entries_.find(path);
  if (stamp && found != entries_.end() && found->second.script == *stamp) {
    entry = &found->second;
    return entry->launch;
  }
  ScriptLaunch launch = check_script(path);
  if (!stamp || !launch.refusal.empty()) {
    if (found != entries_.end()) entries_.erase(found);
    return launch;
  }
  if (found == entries_.end() && entries_.size() >= kRememberedScripts) entries_.clear();
  Entry& kept = entries_[path];
  kept = Entry{*stamp, launch, std::nullopt};
  entry = &kept;
  return launch;
}

}  // namespace sr::fcgi
