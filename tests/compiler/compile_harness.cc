#include "tests/compiler/compile_harness.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace sr::test {
namespace {

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

// Standard streams go through files so that no pipe can fill up and stall the child.
ProcessResult run_process(const std::vector<std::string>& argv,
                          const std::map<std::string, std::string>& env, const std::string& input) {
  char folder[] = "/tmp/zrproc-XXXXXX";
  ProcessResult result;
  if (mkdtemp(folder) == nullptr) return result;
  const std::string dir = folder;
  { std::ofstream(dir + "/in", std::ios::binary) << input; }
  std::vector<std::string> env_text;
  for (const auto& [k, v] : env) env_text.push_back(k + "=" + v);
  std::vector<char*> c_argv, c_env;
  for (const auto& a : argv) c_argv.push_back(const_cast<char*>(a.c_str()));
  for (const auto& e : env_text) c_env.push_back(const_cast<char*>(e.c_str()));
  c_argv.push_back(nullptr);
  c_env.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    int in = open((dir + "/in").c_str(), O_RDONLY);
    int out = open((dir + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open((dir + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0 || err < 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    execve(c_argv[0], c_argv.data(), c_env.data());
    _exit(127);
  }
  int status = 0;
  while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (pid > 0) {
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  result.out = slurp(dir + "/out");
  result.err = slurp(dir + "/err");
  std::filesystem::remove_all(dir);
  return result;
}

CompileSandbox::CompileSandbox() {
  char folder[] = "/tmp/zrcompile-XXXXXX";
  if (mkdtemp(folder) != nullptr) dir_ = folder;
}

CompileSandbox::~CompileSandbox() {
  if (!dir_.empty()) std::filesystem::remove_all(dir_);
}

void CompileSandbox::write_file(const std::string& name, const std::string& content) const {
  std::ofstream(path(name), std::ios::binary) << content;
}

std::string CompileSandbox::read_file(const std::string& name) const {
  return slurp(path(name));
}

bool CompileSandbox::exists(const std::string& name) const {
  return std::filesystem::exists(path(name));
}

std::vector<std::string> CompileSandbox::files() const {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

ProcessResult CompileSandbox::compile(const std::string& source, const std::string& exe) const {
  write_file("src.zr", source);
  return run_process({SR_COMPILER_PATH, "--quiet", "--executable", path(exe), path("src.zr")});
}

ProcessResult CompileSandbox::compile_and_run(const std::string& source,
                                              const std::map<std::string, std::string>& env,
                                              const std::string& input,
                                              const std::vector<std::string>& args) const {
  ProcessResult compiled = compile(source);
  if (compiled.exit_code != 0 || !compiled.out.empty()) {
    compiled.err = "compile failed: " + compiled.out;
    return compiled;
  }
  std::vector<std::string> argv = {path("prog")};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_process(argv, env, input);
}

}  // namespace sr::test
