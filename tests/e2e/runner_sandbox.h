// Runs the built runner the way a web server does, in a sandbox of its own: a fresh folder under
// /tmp holding a copy of the runner, a fake compiler at compilers/zrcompiler beside it, and the
// test's scripts. The destructor removes the folder and every /tmp/zr-executable_* file whose
// name comes from a script path inside it.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace sr::test {

struct RunResult {
  std::string out;  // standard output, byte for byte
  std::string err;  // standard error, byte for byte
  int exit_code = -1;
  double seconds = 0;      // wall time from start to the end of both output streams
  bool timed_out = false;  // killed after RunOptions::timeout_ms
};

struct RunOptions {
  // argv[1], the switch string; std::nullopt runs the runner without any argument.
  std::optional<std::string> switches;
  // The whole environment of the run (nothing is inherited), e.g. SCRIPT_FILENAME, QUERY_STRING.
  std::map<std::string, std::string> env;
  std::string stdin_data;  // standard input; closed after these bytes
  // The runner's working directory; empty: the sandbox folder.
  std::string cwd;
  // The run is killed and the test fails when it has not ended by then.
  int timeout_ms = 30000;
};

// What a fatal error writes to standard output under -w: the HTML header, the message and LF.
std::string warn_page(const std::string& message);

class RunnerSandbox {
 public:
  // Copies build/bin/scriptrunner (path compiled in as SR_RUNNER_PATH) and installs the default
  // fake compiler: it records its arguments (one per line) in compiler.args, copies the
  // temporary source to compiler.source, and turns the source into a /bin/sh executable: the
  // line "#!/bin/sh" followed by the source from its second line on.
  RunnerSandbox();
  ~RunnerSandbox();
  RunnerSandbox(const RunnerSandbox&) = delete;
  RunnerSandbox& operator=(const RunnerSandbox&) = delete;

  const std::string& dir() const { return dir_; }  // absolute, without a trailing "/"
  std::string runner_path() const { return dir_ + "/scriptrunner"; }

  // Writes `content` to dir()/name (sub-folders created) and returns the absolute path.
  std::string write_file(const std::string& name, const std::string& content, int mode = 0644);
  // A shell script served by the runner: a shebang line naming the runner, then `body`.
  std::string write_script(const std::string& name, const std::string& body);
  // Replaces compilers/zrcompiler with the given shell script text (mode 0755).
  void set_compiler(const std::string& shell_text);
  // Installs the real stand-in compiler and its stub (built beside the runner) instead.
  void use_stand_in_compiler();
  // The default fake compiler's text with `extra_lines` run before it builds anything (e.g.
  // "sleep 1\n"); the positional parameters are the compiler's arguments.
  std::string default_compiler(const std::string& extra_lines = "") const;
  // Places a file at dir()/upx (the packer the runner looks for beside itself).
  void set_upx(const std::string& shell_text, int mode = 0755);

  // "/tmp/zr-executable_" + script path without "/".
  static std::string cache_path(const std::string& script_path);
  // The executable path among the compiler arguments that the fake compiler recorded.
  static std::string compiled_path(const std::string& compiler_args);
  // True when `built` is the name of `cached` inside a private build folder, where every build
  // is made before it is renamed to its cache name.
  static bool is_private_build_of(const std::string& built, const std::string& cached);
  // What the fake compiler recorded in its last run; "" when it has not run.
  std::string compiler_args() const;
  std::string compiler_source() const;
  // How many times the default fake compiler has run in this sandbox.
  int compile_count() const;

  // Runs the runner with `options`; SCRIPT_FILENAME defaults to nothing (set it in env).
  RunResult run(const RunOptions& options) const;
  // Shorthand: runs `script` with the switch string and extra environment; CONTENT_LENGTH is
  // set to the size of a non-empty `stdin_data` unless `env` names it.
  RunResult run_script(const std::string& script, std::optional<std::string> switches = "-w",
                       std::map<std::string, std::string> env = {},
                       const std::string& stdin_data = "") const;

  // Kills (SIGKILL) the process whose pid a script or compiler wrote to `pid_file`, but only
  // while it still is a process of this sandbox (SCRIPT_FILENAME inside dir() in its
  // environment), so that a reused pid is never hit.
  void kill_recorded(const std::string& pid_file) const;

  // Files in /tmp whose names begin with the cache prefix of this sandbox.
  std::vector<std::string> cache_files() const;

  // Whole-file helpers for checks: "" when the file cannot be read.
  static std::string read_file(const std::string& path);
  // Sets the modification (and access) time of `path` to `seconds` since the epoch.
  static void set_mtime(const std::string& path, long seconds);

 private:
  std::string dir_;
};

}  // namespace sr::test
