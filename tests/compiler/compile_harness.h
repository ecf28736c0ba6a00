// Compiles sources with the built zrcompiler and runs the results as child processes, in a
// temporary folder that is removed at the end.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace sr::test {

struct ProcessResult {
  std::string out;
  std::string err;
  int exit_code = -1;  // 128 + signal when killed by a signal
};

// Runs `argv` with exactly `env` as its environment and `input` as its standard input.
ProcessResult run_process(const std::vector<std::string>& argv,
                          const std::map<std::string, std::string>& env = {},
                          const std::string& input = "");

class CompileSandbox {
 public:
  CompileSandbox();
  ~CompileSandbox();
  CompileSandbox(const CompileSandbox&) = delete;
  CompileSandbox& operator=(const CompileSandbox&) = delete;

  const std::string& dir() const { return dir_; }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }
  void write_file(const std::string& name, const std::string& content) const;
  std::string read_file(const std::string& name) const;
  bool exists(const std::string& name) const;
  std::vector<std::string> files() const;  // names in the folder, sorted

  // zrcompiler --quiet --executable dir/exe dir/src.zr, with `source` written to src.zr.
  ProcessResult compile(const std::string& source, const std::string& exe = "prog") const;
  // Compiles `source`; when that succeeds, runs the executable.
  ProcessResult compile_and_run(const std::string& source,
                                const std::map<std::string, std::string>& env = {},
                                const std::string& input = "",
                                const std::vector<std::string>& args = {}) const;

 private:
  std::string dir_;
};

}  // namespace sr::test
