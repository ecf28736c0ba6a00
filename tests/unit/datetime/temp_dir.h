// Test helper: a fresh folder under /tmp, removed with everything in it.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace sr::testing {

class TempDir {
 public:
  TempDir() {
    char name[] = "/tmp/sr_datetime_test_XXXXXX";
    if (mkdtemp(name) != nullptr) path_ = name;
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  std::string operator/(const std::string& name) const { return (path_ / name).native(); }

 private:
  std::filesystem::path path_;
};

inline void write_file(const std::string& path, const std::string& contents) {
  std::ofstream(path, std::ios::binary) << contents;
}

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace sr::testing
