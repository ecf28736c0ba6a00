// The start of every compiled executable: finds the program appended to this very file and
// runs it, once, or for request after request when a server started it resident. Built without the
// C++ library, so that a short script starts fast.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "compiler/stub/allocation.h"
#include "compiler/stub/host.h"
#include "compiler/stub/machine.h"
#include "compiler/stub/program_reader.h"
#include "compiler/stub/resident.h"
#include "compiler/stub/run_failure.h"

namespace {

using sr::zr::Bytes;

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

// Reads the program bytes named by the trailer at the end of the open file.
bool read_program_bytes(int fd, sr::zr::Text& bytes) {
  struct stat st {};
  const auto trailer_size = static_cast<off_t>(sr::zr::kTrailerSize);
  if (fstat(fd, &st) != 0 || st.st_size < trailer_size) return false;
  char trailer[sr::zr::kTrailerSize];
  const off_t trailer_at = st.st_size - trailer_size;
  uint64_t length = 0;
  if (!read_at(fd, trailer, sizeof trailer, trailer_at) ||
      !sr::zr::read_trailer(Bytes{trailer, sizeof trailer}, length) ||
      length > static_cast<uint64_t>(trailer_at)) {
    return false;
  }
  if (length == 0) return true;
  return read_at(fd, bytes.extend(length), length, trailer_at - static_cast<off_t>(length));
}

}  // namespace

int main(int argc, char** argv) {
  int socket_fd = -1;
  const bool resident = sr::zr::started_resident(argc, argv, socket_fd);
  // Its runs must be able to free all they made, so every block is on the ledger from the first.
  if (resident) {
    sr::zr::keep_block_ledger();
    sr::zr::set_unwatched_output_is_page(false);
  }
  sr::zr::Text bytes;
  sr::zr::LoadedProgram program;
  int fd = open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
  bool loaded = fd >= 0 && read_program_bytes(fd, bytes);
  if (fd >= 0) close(fd);
  if (!loaded || !sr::zr::read_program(bytes.view(), program)) {
    sr::zr::fail_run("this executable holds no valid program");
  }
  if (resident) return sr::zr::serve_resident(program, socket_fd);
  sr::zr::DescriptorWorld world{0, 1, 2, environ};
  const sr::zr::RunEnd end =
      sr::zr::run_program(program, sr::zr::descriptor_host(world, argc, argv));
  // The frames a failed run skipped still hold their blocks; the process ends with them, at once.
  if (end.failed) _exit(end.exit_code);
  return end.exit_code;
}
