#include "runner/build_executable.h"

#include <climits>
#include <string>
#include <string_view>

#include "runner/cache_files.h"
#include "runner/compile.h"
#include "runner/error_page.h"
#include "runner/executable_cache.h"
#include "runner/heredoc.h"
#include "runner/source_preparation.h"
#include "runner/switches.h"
#include "runtime/datetime/files.h"

namespace sr {
namespace {

[[noreturn]] void untrusted(const RunState& state) {
  error_page(state, "The cached executable cannot be trusted: " + state.executable_path);
}

// Current: a trusted file, not older than the script, built from this script path.
bool executable_is_current(const RunState& state, const std::string& recorded_script) {
  switch (inspect_cached_file(state.executable_path)) {
    case CachedFile::missing:
    case CachedFile::rewritable:
      return false;
    case CachedFile::foreign:
      untrusted(state);
    case CachedFile::trusted:
      break;
  }
  return recorded_script == state.script_path && !executable_is_stale(state);
}

void compile_and_compress(RunState& state) {
  state.source_path = state.executable_path + ".zr";
  if (has_switch(state, "-p") || has_switch(state, "--parse")) {
    preprocess_script(state);
  } else {
    prepare_plain_source(state);
  }
  compile_script(state);
  if (has_switch(state, "-c") || has_switch(state, "--compress")) compress_executable(state);
  // A compiler under a permissive umask must not make its own output untrusted.
  make_private(state.executable_path);
  if (inspect_cached_file(state.executable_path) != CachedFile::trusted) untrusted(state);
}

void build_under_lock(RunState& state) {
  ScriptRecord record;
  if (!record.open_locked(state.executable_path)) untrusted(state);
  // Another run may have built it while this one waited for the lock.
  const std::string recorded = record.read();
  if (executable_is_current(state, recorded)) return;
  record.clear();
  // An executable of another script (or one that others could write) must not survive a
  // compile that fails without a word.
  if (recorded != state.script_path ||
      inspect_cached_file(state.executable_path) == CachedFile::rewritable) {
    delete_file(state.executable_path);
  }
  compile_and_compress(state);
  record.write(state.script_path);
}

// The cache name grows with the script path; past the file-name limit nothing can be built.
void check_name_length(const RunState& state) {
  const std::string_view longest = force_mode(state) ? ".zr" : ".script";
  const std::size_t slash = state.executable_path.rfind('/');
  if (state.executable_path.size() - slash - 1 + longest.size() > NAME_MAX) {
    error_page(state,
               "The script path is too long for a cached executable: " + state.executable_path);
  }
}

}  // namespace

void provide_executable(RunState& state) {
  check_name_length(state);
  if (force_mode(state)) {
    // A fresh name of its own each run: nothing to share, nothing to record.
    if (inspect_cached_file(state.executable_path) != CachedFile::missing) untrusted(state);
    compile_and_compress(state);
    return;
  }
  if (executable_is_current(state, read_script_record(state.executable_path))) return;
  build_under_lock(state);
}

void delete_temporary_source(const RunState& state) {
  if (state.source_path.empty()) return;
  ScriptRecord record;
  if (!force_mode(state)) record.open_locked(state.executable_path);
  delete_file(state.source_path);
}

}  // namespace sr
