// The start of every compiled executable: finds the program appended to this very file and
// runs it. Kept free of start-up work (no iostreams, no locale) so a short script starts fast.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "compiler/program_format.h"
#include "compiler/stub/machine.h"
#include "compiler/stub/stream_io.h"

namespace {

bool read_at(int fd, char* into, size_t size, off_t offset) {
  while (size > 0) {
    ssize_t n = pread(fd, into, size, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    into += n;
    size -= static_cast<size_t>(n);
    offset += n;
  }
  return true;
}

// Reads the program bytes named by the trailer at the end of the file.
bool load_program_bytes(std::string& bytes) {
  int fd = open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  bool ok = fstat(fd, &st) == 0 && st.st_size >= static_cast<off_t>(sr::zr::kTrailerSize);
  std::string trailer(sr::zr::kTrailerSize, '\0');
  off_t trailer_at = ok ? st.st_size - static_cast<off_t>(sr::zr::kTrailerSize) : 0;
  ok = ok && read_at(fd, trailer.data(), trailer.size(), trailer_at);
  std::optional<uint64_t> length = ok ? sr::zr::read_trailer(trailer) : std::nullopt;
  ok = length && *length <= static_cast<uint64_t>(trailer_at);
  if (ok) {
    bytes.resize(*length);
    ok = read_at(fd, bytes.data(), bytes.size(), trailer_at - static_cast<off_t>(*length));
  }
  close(fd);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  std::string bytes;
  std::optional<sr::zr::Program> program;
  if (load_program_bytes(bytes)) program = sr::zr::deserialize_program(bytes);
  if (!program) {
    sr::zr::write_fully(2, "Runtime error at line 0: this executable holds no valid program\n");
    return 1;
  }
  return sr::zr::run_program(*program, argc, argv);
}
