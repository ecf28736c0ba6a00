// Per script, the last script check and warm cache decision that let it run, taken again only when
// one stat of the script, or lstat of a file the decision read, shows a change. A warm request then
// costs a few calls rather than the whole decision's opens and reads.
#pragma once

#include <optional>
#include <string>
#include <unordered_map>

#include "fcgi/script_check.h"
#include "runner/decision_stamps.h"

namespace sr::fcgi {

class WarmMemo {
 public:
  struct Entry {
    FileStamp script;  // as stat showed it before the check
    ScriptLaunch launch;
    std::optional<DecisionStamps> decision;  // the last decision that found it current
  };

  // The script check of `path` (check_script), remembered while the script's stamp stays the
  // same. `entry` is the script's entry when it may run, else null; it stays valid until the
  // next call.
  ScriptLaunch check(const std::string& path, Entry*& entry);

 private:
  // Beyond this many scripts the memo starts afresh rather than grow.
  static constexpr std::size_t kRememberedScripts = 256;
  std::unordered_map<std::string, Entry> entries_;
};

}  // namespace sr::fcgi
