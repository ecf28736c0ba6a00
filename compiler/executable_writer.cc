#include "compiler/executable_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "compiler/program_format.h"
#include "runtime/files/full_io.h"

namespace sr::zr {
namespace {

bool write_all(int fd, const std::string& data) {
  return write_full(fd, data.data(), data.size()) == data.size();
}

std::string failure(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

// As a linker does: executable by everyone the umask lets in, so a caller under umask 077 gets
// a file that only its owner can read (it holds the program's code and texts).
mode_t executable_mode() {
  const mode_t mask = umask(0);
  umask(mask);
  return 0777 & ~mask;
}

}  // namespace

bool read_whole_file(const std::string& path, std::string& content) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  content.clear();
  char buffer[65536];
  while (ok) {
    errno = 0;
    const std::size_t n = read_full(fd, buffer, sizeof buffer);
    content.append(buffer, n);
    if (n < sizeof buffer) {
      ok = errno == 0;
      break;
    }
  }
  close(fd);
  return ok;
}

bool write_executable(const std::string& path, const std::string& stub, const std::string& program,
                      std::string& error) {
  std::vector<char> name(path.begin(), path.end());
  const char kSuffix[] = ".tmp-XXXXXX";
  name.insert(name.end(), kSuffix, kSuffix + sizeof kSuffix);
  // mkostemp opens with O_EXCL, so an existing file or planted link is never written through.
  int fd = mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) {
    error = failure("Cannot create a temporary file beside", path);
    return false;
  }
  const std::string temp(name.data());
  error.clear();
  if (!write_all(fd, stub) || !write_all(fd, program) ||
      !write_all(fd, make_trailer(program.size()))) {
    error = failure("Cannot write", temp);
  } else if (fchmod(fd, executable_mode()) != 0) {
    error = failure("Cannot set the mode of", temp);
  }
  if (close(fd) != 0 && error.empty()) error = failure("Cannot write", temp);
  if (error.empty() && rename(temp.c_str(), path.c_str()) != 0) {
    error = failure("Cannot move the executable into place at", path);
  }
  if (error.empty()) return true;
  unlink(temp.c_str());
  return false;
}

}  // namespace sr::zr
