// The switch list and the test for one switch form.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "runner/run_state.h"

namespace sr {

// Removes every LF and CR from the first argument.
std::string clean_switch_string(std::string_view first_argument);
// Fields split at each blank (0x20 only), empty fields included; empty for an empty string.
std::vector<std::string> split_switch_list(std::string_view switch_string);
// True when an element equals `name` exactly.
bool has_switch(const RunState& state, std::string_view name);

// Each switch asked for by its short form, then its long one.
bool force_mode(const RunState& state);     // -f, --force
bool parse_mode(const RunState& state);     // -p, --parse
bool compress_mode(const RunState& state);  // -c, --compress
bool warn_mode(const RunState& state);      // -w, --warn

}  // namespace sr
