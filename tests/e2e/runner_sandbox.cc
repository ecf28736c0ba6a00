#include "tests/e2e/runner_sandbox.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/e2e/run_child.h"

namespace sr::test {
namespace {

namespace fs = std::filesystem;

constexpr const char* kTempDir = "/tmp/";
constexpr const char* kCachePrefix = "zr-executable_";
// Set by CTest for every test; the suite's last test looks for processes that still carry it.
constexpr const char* kSuiteMark = "SR_TEST_RUN";

std::string without_slashes(const std::string& path) {
  std::string out;
  for (char c : path) {
    if (c != '/') out += c;
  }
  return out;
}

void write_whole_file(const std::string& path, const std::string& content, int mode) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(content.data(), static_cast<std::streamsize>(content.size()));
  file.close();
  ASSERT_TRUE(file) << "cannot write " << path;
  ASSERT_EQ(chmod(path.c_str(), static_cast<mode_t>(mode)), 0) << path;
}

}  // namespace

std::string warn_page(const std::string& message) {
  return "Content-Type: text/html\n\n" + message + "\n";
}

RunnerSandbox::RunnerSandbox() {
  char templ[] = "/tmp/sr-e2e-XXXXXX";
  if (mkdtemp(templ) == nullptr) {
    ADD_FAILURE() << "mkdtemp failed";
    return;
  }
  dir_ = templ;
  // The runner looks for its compiler and upx beside its own file, so it needs a copy here.
  std::error_code error;
  fs::copy_file(SR_RUNNER_PATH, runner_path(), error);
  if (error) ADD_FAILURE() << "cannot copy " << SR_RUNNER_PATH << ": " << error.message();
  chmod(runner_path().c_str(), 0755);
  set_compiler(default_compiler());
}

RunnerSandbox::~RunnerSandbox() {
  std::error_code ignored;
  for (const auto& path : cache_files()) fs::remove_all(path, ignored);
  if (!dir_.empty()) fs::remove_all(dir_, ignored);
}

std::string RunnerSandbox::write_file(const std::string& name, const std::string& content,
                                      int mode) {
  std::string path = dir_ + "/" + name;
  write_whole_file(path, content, mode);
  return path;
}

std::string RunnerSandbox::write_script(const std::string& name, const std::string& body) {
  return write_file(name, "#!" + runner_path() + " -w\n" + body);
}

std::string RunnerSandbox::default_compiler(const std::string& extra_lines) const {
  // Absolute tool paths only: the runner may start it without any PATH. The executable is
  // written under a temporary name and renamed into place, as the real compiler does.
  return "#!/bin/sh\n"
         "d='" +
         dir_ + "'\n" + extra_lines +
         "for a in \"$@\"; do /usr/bin/printf '%s\\n' \"$a\"; done > \"$d/compiler.args\"\n"
         "echo x >> \"$d/compiler.count\"\n"
         "/bin/cat -- \"$4\" > \"$d/compiler.source\"\n"
         "t=\"$3.part$$\"\n"
         "{ /usr/bin/printf '#!/bin/sh\\n'; /bin/sed 1d -- \"$4\"; } > \"$t\" &&\n"
         "  /bin/chmod 755 \"$t\" && /bin/mv -f -- \"$t\" \"$3\"\n";
}

void RunnerSandbox::set_compiler(const std::string& shell_text) {
  std::string path = dir_ + "/compilers/zrcompiler";
  std::error_code ignored;
  fs::remove_all(path, ignored);
  write_whole_file(path, shell_text, 0755);
}

void RunnerSandbox::use_stand_in_compiler() {
  for (const char* name : {"zrcompiler", "zrstub"}) {
    const std::string path = dir_ + "/compilers/" + name;
    std::error_code ignored;
    fs::remove_all(path, ignored);
    fs::copy_file(std::string(SR_COMPILERS_DIR) + "/" + name, path);
  }
}

void RunnerSandbox::set_upx(const std::string& shell_text, int mode) {
  std::string path = dir_ + "/upx";
  std::error_code ignored;
  fs::remove_all(path, ignored);
  write_whole_file(path, shell_text, mode);
}

std::string RunnerSandbox::cache_path(const std::string& script_path) {
  return kTempDir + std::string(kCachePrefix) + without_slashes(script_path);
}

std::string RunnerSandbox::compiled_path(const std::string& compiler_args) {
  std::istringstream lines(compiler_args);
  std::string line;
  for (int i = 0; i < 3; ++i) std::getline(lines, line);
  return line;
}

bool RunnerSandbox::is_private_build_of(const std::string& built, const std::string& cached) {
  const std::string folder = "/tmp/zr-private_XXXXXX/";
  const std::string name = cached.substr(cached.rfind('/') + 1);
  return built.size() == folder.size() + name.size() && built.starts_with("/tmp/zr-private_") &&
         built.ends_with("/" + name);
}

std::string RunnerSandbox::compiler_args() const {
  return read_file(dir_ + "/compiler.args");
}

std::string RunnerSandbox::compiler_source() const {
  return read_file(dir_ + "/compiler.source");
}

int RunnerSandbox::compile_count() const {
  std::string log = read_file(dir_ + "/compiler.count");
  return static_cast<int>(std::count(log.begin(), log.end(), '\n'));
}

RunResult RunnerSandbox::run(const RunOptions& options) const {
  ChildLaunch launch;
  launch.argv.push_back(runner_path());
  if (options.switches) launch.argv.push_back(*options.switches);
  for (const auto& [name, value] : options.env) launch.env.push_back(name + "=" + value);
  // The suite's mark goes on to the runner and its script, so that one left running is found.
  if (const char* mark = std::getenv(kSuiteMark))
    launch.env.push_back(std::string(kSuiteMark) + "=" + mark);
  launch.cwd = options.cwd.empty() ? dir_ : options.cwd;
  launch.stdin_data = options.stdin_data;
  launch.timeout_ms = options.timeout_ms;
  RunResult result = run_child(launch);
  EXPECT_FALSE(result.timed_out) << "the runner was killed after " << options.timeout_ms
                                 << " ms; output so far:\n"
                                 << result.out << "\nerrors so far:\n"
                                 << result.err;
  return result;
}

RunResult RunnerSandbox::run_script(const std::string& script, std::optional<std::string> switches,
                                    std::map<std::string, std::string> env,
                                    const std::string& stdin_data) const {
  RunOptions options;
  options.switches = std::move(switches);
  options.env = std::move(env);
  options.env["SCRIPT_FILENAME"] = script;
  if (!stdin_data.empty() && !options.env.contains("CONTENT_LENGTH")) {
    options.env["CONTENT_LENGTH"] = std::to_string(stdin_data.size());
  }
  options.stdin_data = stdin_data;
  return run(options);
}

void RunnerSandbox::kill_recorded(const std::string& pid_file) const {
  std::string pid = read_file(pid_file);
  if (pid.empty() || pid.find_first_not_of("0123456789\n") != std::string::npos) return;
  const std::string proc = "/proc/" + std::to_string(std::stoi(pid));
  // A process in the middle of exec shows an empty environment for a moment: wait that out
  // (bounded), or a background program that was just starting would be left running.
  std::string environ = read_file(proc + "/environ");
  for (int tries = 0; environ.empty() && tries < 200 && access(proc.c_str(), F_OK) == 0; ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    environ = read_file(proc + "/environ");
  }
  if (environ.find("SCRIPT_FILENAME=" + dir_ + "/") != std::string::npos) {
    kill(std::stoi(pid), SIGKILL);
  }
}

std::vector<std::string> RunnerSandbox::cache_files() const {
  std::vector<std::string> found;
  if (dir_.empty()) return found;
  std::string prefix = kCachePrefix + without_slashes(dir_);
  DIR* tmp = opendir(kTempDir);
  if (tmp == nullptr) return found;
  while (dirent* entry = readdir(tmp)) {
    std::string name = entry->d_name;
    if (name.starts_with(prefix)) found.push_back(kTempDir + name);
  }
  closedir(tmp);
  std::sort(found.begin(), found.end());
  return found;
}

std::string RunnerSandbox::read_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream content;
  content << file.rdbuf();
  return content.str();
}

void RunnerSandbox::set_mtime(const std::string& path, long seconds) {
  utimbuf times{static_cast<time_t>(seconds), static_cast<time_t>(seconds)};
  ASSERT_EQ(utime(path.c_str(), &times), 0) << path;
}

}  // namespace sr::test
