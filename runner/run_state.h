// The run-wide record: each phase reads what the earlier phases left in it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sr {

struct RunState {
  std::int32_t start_time_ms = 0;
  // The first argument without LF and CR; also the compiled script's argument string.
  std::string switch_string;
  // Blank-separated fields of switch_string, empty fields included.
  std::vector<std::string> switch_list;
  // SCRIPT_FILENAME as given.
  std::string script_path;
  std::string executable_path;
  // The executable that the cache decision accepted, open; this file is what runs.
  int executable_fd = -1;
  // The temporary source of a compile in this run; empty when no compile happens.
  std::string source_path;
};

}  // namespace sr
