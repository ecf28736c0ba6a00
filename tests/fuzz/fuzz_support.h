// Helpers shared by the fuzz targets: a private scratch folder and a model of line splitting.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace sr::fuzz {

// A scratch folder for the whole fuzzing process, removed at its end. In memory where possible:
// on a disk, closing a truncated file makes the file system write it out at once.
class ScratchDir {
 public:
  ScratchDir() {
    char pattern[] = "/dev/shm/sr-fuzz-XXXXXX";
    char fallback[] = "/tmp/sr-fuzz-XXXXXX";
    const char* made = mkdtemp(pattern);
    if (made == nullptr) made = mkdtemp(fallback);
    if (made == nullptr) {
      perror("mkdtemp");
      abort();
    }
    path_ = made;
  }
  ~ScratchDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  std::string file(std::string_view name) const { return path_ + "/" + std::string(name); }

 private:
  std::string path_;
};

inline void write_file(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    fprintf(stderr, "cannot write %s\n", path.c_str());
    abort();
  }
}

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Lines of a byte-wise text: LF, CR LF, CR and NUL each end a line; a last line without an end
// counts when it is not empty. `units` may also be 16-bit values (one per character).
template <typename Unit>
std::vector<std::vector<Unit>> split_lines(const std::vector<Unit>& units) {
  std::vector<std::vector<Unit>> lines;
  std::vector<Unit> line;
  for (std::size_t i = 0; i < units.size(); ++i) {
    const Unit u = units[i];
    if (u == 0x0A || u == 0x00) {
      lines.push_back(line);
      line.clear();
    } else if (u == 0x0D) {
      if (i + 1 < units.size() && units[i + 1] == 0x0A) ++i;
      lines.push_back(line);
      line.clear();
    } else {
      line.push_back(u);
    }
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

inline std::vector<std::string> split_byte_lines(std::string_view bytes) {
  std::vector<std::string> lines;
  for (const auto& line : split_lines(std::vector<char>(bytes.begin(), bytes.end()))) {
    lines.emplace_back(line.begin(), line.end());
  }
  return lines;
}

// Prints both sides of a failed property and stops the run, so that libFuzzer keeps the input.
[[noreturn]] inline void fail(const char* what, std::string_view expected,
                              std::string_view actual) {
  fprintf(stderr, "%s\n  expected (%zu bytes): ", what, expected.size());
  for (unsigned char c : expected) fprintf(stderr, c >= 0x20 && c < 0x7f ? "%c" : "\\x%02x", c);
  fprintf(stderr, "\n  actual   (%zu bytes): ", actual.size());
  for (unsigned char c : actual) fprintf(stderr, c >= 0x20 && c < 0x7f ? "%c" : "\\x%02x", c);
  fprintf(stderr, "\n");
  abort();
}

}  // namespace sr::fuzz
