#include "runner/build_executable.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "runner/cache_files.h"
#include "runner/cache_names.h"
#include "runner/compile.h"
#include "runner/error_page.h"
#include "runner/executable_cache.h"
#include "runner/heredoc.h"
#include "runner/run_files.h"
#include "runner/source_preparation.h"
#include "runner/switches.h"
#include "runtime/console/console.h"
#include "runtime/datetime/files.h"
#include "runtime/strings/log_text.h"

namespace sr {
namespace {

// What became of one cache name for this script.
enum class NameUse {
  ready,     // the executable is open in state.executable_fd
  taken,     // the record names another script
  blocked,   // a file there that cannot be trusted nor removed; nothing was built
  diverted,  // built, but the name could not take the build: it runs from the private folder
};

std::string base_name(const std::string& path) {
  return path.substr(path.rfind('/') + 1);
}

// The compiler and the packer run under umask 077: what they write holds the script's code.
class PrivateUmask {
 public:
  PrivateUmask() : saved_(umask(077)) {}
  ~PrivateUmask() { umask(saved_); }
  PrivateUmask(const PrivateUmask&) = delete;
  PrivateUmask& operator=(const PrivateUmask&) = delete;

 private:
  mode_t saved_;
};

void write_temporary_source(RunState& state) {
  state.source_path = source_name(state.executable_path);
  if (!create_private_file(state.source_path)) {
    const std::string detail = state.source_path + ": " + std::strerror(errno);
    if (parse_mode(state)) error_page(state, "The source file cannot be created.", detail);
    error_page(state, "Source file cannot be copied.", detail);
  }
  remember_run_file(state.source_path);
  if (parse_mode(state)) {
    preprocess_script(state);
  } else {
    prepare_plain_source(state);
  }
}

// Source, compile and packing. Returns the fatal message of a failed compile. Whatever the
// compiler left, failed or not, is left to its owner alone and unwritable.
std::optional<std::string> build(RunState& state) {
  write_temporary_source(state);
  PrivateUmask umask_077;
  std::optional<std::string> failure = compile_script(state);
  if (!failure && compress_mode(state)) compress_executable(state);
  make_owner_read_only(state.executable_path);
  return failure;
}

// Every build happens in a folder of its own (mkdtemp, 0700) that the run's end removes whole:
// nobody else can create, replace or read a name in it while the compiler works. Returns the
// executable's path in it.
std::string private_build_path(RunState& state, const std::string& name) {
  char folder[] = "/tmp/zr-private_XXXXXX";
  static_assert(sizeof folder == sizeof kPrivateFolderTemplate);
  if (mkdtemp(folder) == nullptr) {
    error_page(state, "Source file cannot be copied.",
               std::string(kPrivateFolderTemplate) + ": " + std::strerror(errno));
  }
  remember_run_folder(folder);
  return std::string(folder) + "/" + name;
}

// Force mode, and a script whose cache names are blocked or taken: the build is used once.
void build_privately(RunState& state, const std::string& name) {
  state.executable_path = private_build_path(state, name);
  if (std::optional<std::string> failure = build(state)) error_page(state, *failure);
  open_built_executable(state);
}

void report_blocked(const std::string& executable, const std::string& blocker) {
  print_error_line("The cached executable " + escape_for_log(executable) + " is blocked by " +
                   escape_for_log(blocker) + " (owner uid " + std::to_string(owner_of(blocker)) +
                   "); this request is served by a private build. Removing " +
                   escape_for_log(blocker) + " restores the cache.");
}

// A trusted executable of this script goes into the build folder first, so that a compiler that
// fails without a word leaves it running, as it would in place. Anything else there must not
// survive a silent failure, so it is not taken.
void carry_over_previous_build(const std::string& cached, const RecordedBuild& last,
                               const RunState& state) {
  if (last.script == state.script_path && inspect_cached_file(cached) == CachedFile::trusted) {
    [[maybe_unused]] int ignored = link(cached.c_str(), state.executable_path.c_str());
  }
}

// The build takes the cache name by a rename, never by writing there: a name that somebody else
// holds, or planted meanwhile, makes the rename fail and stays theirs.
bool move_into_place(const std::string& built, const std::string& cached) {
  if (inspect_cached_file(cached) == CachedFile::foreign) return false;
  return rename(built.c_str(), cached.c_str()) == 0;
}

NameUse build_under_lock(RunState& state, std::string& blocker) {
  const std::string cached = state.executable_path;
  const std::string record_path = record_name(cached);
  const std::int64_t waiting_since = wall_clock_ns();
  ScriptRecord record;
  if (!record.open_locked(record_path)) {
    // A record of ours that others may write goes; then one more try.
    if (!remove_own_file(record_path) || !record.open_locked(record_path)) {
      blocker = record_path;
      return NameUse::blocked;
    }
  }
  const RecordedBuild last = record.read();
  if (!last.script.empty() && last.script != state.script_path) return NameUse::taken;
  if (last.failed && last.failed_at_ns >= waiting_since) {
    // The build that this run waited for failed: the same failure, not another attempt.
    error_page(state, last.message);
  }
  if (open_current_executable(state, last)) return NameUse::ready;
  // Taken before the source is read: a save during the build leaves the record stale.
  const std::optional<ScriptIdentity> script = identify_script(state.script_path);
  record.clear();
  state.executable_path = private_build_path(state, base_name(cached));
  carry_over_previous_build(cached, last, state);
  if (std::optional<std::string> failure = build(state)) {
    record.write_failure(state.script_path, *failure);
    error_page(state, *failure);
  }
  open_built_executable(state);
  forget_run_file(state.source_path);
  delete_file(state.source_path);
  if (!move_into_place(state.executable_path, cached)) {
    blocker = cached;
    return NameUse::diverted;
  }
  state.executable_path = cached;
  if (script) record.write(state.script_path, *script);
  return NameUse::ready;
}

NameUse use_cache_name(RunState& state, const std::string& executable, std::string& blocker) {
  switch (look_up_cache_name(state, executable)) {
    case CacheLookup::ready:
      return NameUse::ready;
    case CacheLookup::taken:
      return NameUse::taken;
    case CacheLookup::stale:
      break;
  }
  return build_under_lock(state, blocker);
}

// The cache name grows with the script path; past the file-name limit nothing can be built. In
// force mode the limit holds for the longest unique name, so the answer never depends on the
// random number.
void check_name_length(const RunState& state, const std::string& executable) {
  if (!cache_name_fits(executable, force_mode(state) ? kLongestForceSuffix : 0)) {
    error_page_naming(state, "The script path is too long for a cached executable: ", executable);
  }
}

}  // namespace

void provide_executable(RunState& state) {
  const std::string specified = specified_executable_name(state.script_path);
  if (force_mode(state)) {
    check_name_length(state, specified);
    return build_privately(state, base_name(specified) + force_suffix());
  }
  check_name_length(state, specified);
  std::string blocker;
  for (const std::string& name : {specified, colliding_executable_name(state.script_path)}) {
    switch (use_cache_name(state, name, blocker)) {
      case NameUse::ready:
        return;
      case NameUse::blocked:
        report_blocked(name, blocker);
        return build_privately(state, base_name(specified));
      case NameUse::diverted:
        return report_blocked(name, blocker);
      case NameUse::taken:
        break;
    }
  }
  // Both names belong to other scripts.
  build_privately(state, base_name(specified));
}

}  // namespace sr
