#include "runner/switches.h"

#include "runtime/strings/strings.h"

namespace sr {

std::string clean_switch_string(std::string_view first_argument) {
  // A shebang line saved with CR LF line ends still yields clean switches.
  return remove_string(remove_string(first_argument, "\n"), "\r");
}

std::vector<std::string> split_switch_list(std::string_view switch_string) {
  std::vector<std::string> list;
  if (strings_equal(switch_string, "")) return list;
  const std::int64_t fields = count_string(switch_string, " ") + 1;
  list.reserve(static_cast<std::size_t>(fields));
  for (std::int64_t i = 1; i <= fields; ++i) list.push_back(string_field(switch_string, i, " "));
  return list;
}

bool has_switch(const RunState& state, std::string_view name) {
  for (const std::string& element : state.switch_list) {
    if (strings_equal(element, name)) return true;
  }
  return false;
}

bool force_mode(const RunState& state) {
  return has_switch(state, "-f") || has_switch(state, "--force");
}

bool parse_mode(const RunState& state) {
  return has_switch(state, "-p") || has_switch(state, "--parse");
}

bool compress_mode(const RunState& state) {
  return has_switch(state, "-c") || has_switch(state, "--compress");
}

bool warn_mode(const RunState& state) {
  return has_switch(state, "-w") || has_switch(state, "--warn");
}

}  // namespace sr
