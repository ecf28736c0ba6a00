#include "runner/build_executable.h"

#include <dirent.h>
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

namespace sr {
namespace {

// What became of one cache name for this script.
enum class NameUse {
  ready,    // the executable is open in state.executable_fd
  taken,    // the record names another script
  blocked,  // a file there that cannot be trusted nor removed
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

// Source, compile and packing. Returns the fatal message of a failed compile.
std::optional<std::string> build(RunState& state) {
  write_temporary_source(state);
  PrivateUmask umask_077;
  if (std::optional<std::string> failure = compile_script(state)) return failure;
  if (compress_mode(state)) compress_executable(state);
  make_owner_only(state.executable_path);
  return std::nullopt;
}

// The half-written files of a compiler that was killed at the time-out, or of a run that was.
// A name with a record beside it is another script's executable, not a partial file.
void remove_partial_files(const std::string& executable) {
  const std::string folder = executable.substr(0, executable.rfind('/') + 1);
  const std::string prefix = base_name(partial_prefix(executable));
  DIR* dir = opendir(folder.c_str());
  if (!dir) return;
  while (const dirent* entry = readdir(dir)) {
    const std::string path = folder + entry->d_name;
    if (std::string_view(entry->d_name).starts_with(prefix) &&
        inspect_cached_file(path) != CachedFile::foreign &&
        inspect_cached_file(record_name(path)) == CachedFile::missing) {
      unlink(path.c_str());
    }
  }
  closedir(dir);
}

// Builds under a name of a private folder (mkdtemp, 0700) that the run's end removes whole:
// force mode, and a script whose cache name is blocked.
void build_privately(RunState& state, const std::string& name) {
  char folder[] = "/tmp/zr-private_XXXXXX";
  static_assert(sizeof folder == sizeof kPrivateFolderTemplate);
  if (mkdtemp(folder) == nullptr) {
    error_page(state, "Source file cannot be copied.",
               std::string(kPrivateFolderTemplate) + ": " + std::strerror(errno));
  }
  remember_run_folder(folder);
  state.executable_path = std::string(folder) + "/" + name;
  if (std::optional<std::string> failure = build(state)) error_page(state, *failure);
  open_built_executable(state);
}

void report_blocked(const std::string& executable, const std::string& blocker) {
  print_error_line("The cached executable " + executable + " is blocked by " + blocker +
                   " (owner uid " + std::to_string(owner_of(blocker)) +
                   "); this request is served by a private build. Removing " + blocker +
                   " restores the cache.");
}

// The files at the executable's name and the source's name make way for this build; false
// with `blocker` set when one of them can be neither used nor removed.
bool clear_names(const RunState& state, const RecordedBuild& last, std::string& blocker) {
  const std::string& executable = state.executable_path;
  const CachedFile kind = inspect_cached_file(executable);
  // A trusted executable of this script stays: a compiler that fails without a word then
  // leaves it running. Anything else must not survive a silent failure.
  const bool keep = kind == CachedFile::trusted && last.script == state.script_path;
  if (kind != CachedFile::missing && !keep && !remove_own_file(executable)) {
    blocker = executable;
    return false;
  }
  const std::string source = source_name(executable);
  if (!remove_own_file(source)) {
    blocker = source;
    return false;
  }
  return true;
}

NameUse build_under_lock(RunState& state, std::string& blocker) {
  const std::string record_path = record_name(state.executable_path);
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
  if (!last.failed && last.script == state.script_path && open_current_executable(state))
    return NameUse::ready;
  record.clear();
  if (!clear_names(state, last, blocker)) return NameUse::blocked;
  remove_partial_files(state.executable_path);
  if (std::optional<std::string> failure = build(state)) {
    record.write_failure(state.script_path, *failure);
    remove_partial_files(state.executable_path);
    error_page(state, *failure);
  }
  open_built_executable(state);
  // The source goes while the lock is held: the next build of this name writes it anew.
  forget_run_file(state.source_path);
  delete_file(state.source_path);
  record.write(state.script_path);
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

// The cache name grows with the script path; past the file-name limit nothing can be built.
void check_name_length(const RunState& state, const std::string& executable) {
  if (!cache_name_fits(executable, force_mode(state) ? ".zr" : ".script")) {
    error_page(state, "The script path is too long for a cached executable: " + executable);
  }
}

}  // namespace

void provide_executable(RunState& state) {
  const std::string specified = specified_executable_name(state.script_path);
  if (force_mode(state)) {
    const std::string name = base_name(specified) + force_suffix();
    check_name_length(state, temporary_directory() + name);
    return build_privately(state, name);
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
      case NameUse::taken:
        break;
    }
  }
  // Both names belong to other scripts.
  build_privately(state, base_name(specified));
}

}  // namespace sr
