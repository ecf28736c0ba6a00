// Temporary folders, files, PATH and working directory for the process tests.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "runtime/process/process.h"

namespace sr::testing {

class TempDir {
 public:
  TempDir() {
    char name[] = "/tmp/sr-process-XXXXXX";
    path_ = ::mkdtemp(name);
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline void write_file(const std::string& path, const std::string& content, mode_t mode) {
  std::ofstream(path, std::ios::binary) << content;
  ::chmod(path.c_str(), mode);
}

// Sets or unsets an environment variable for one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = ::getenv(name)) old_ = old;
    if (value) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

class ScopedCwd {
 public:
  explicit ScopedCwd(const std::string& path) : old_(std::filesystem::current_path()) {
    std::filesystem::current_path(path);
  }
  ~ScopedCwd() { std::filesystem::current_path(old_); }

 private:
  std::filesystem::path old_;
};

// The argument string that makes /bin/sh run `command` (which holds no double quote).
inline std::string sh_script(const std::string& command) {
  return "-c \"" + command + "\"";
}

inline ProgramHandle start_sh(const std::string& command, int flags) {
  return start_program("/bin/sh", sh_script(command), "", flags | ProgramFlag::open);
}

inline void wait_readable(int fd) {
  pollfd entry{fd, POLLIN, 0};
  ::poll(&entry, 1, -1);
}

// Reads the whole output of a program.
inline std::string read_all_output(ProgramHandle program) {
  std::string all;
  char block[512];
  int count;
  while ((count = read_program_data(program, block, sizeof block)) > 0) all.append(block, count);
  return all;
}

}  // namespace sr::testing
