#include "runner/source_preparation.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "runner/error_page.h"
#include "runtime/datetime/files.h"
#include "runtime/files/unique_fd.h"
#include "runtime/textfile/textfile.h"

namespace sr {
namespace {

// Which of the two files made the copy fail, and why: the script when it cannot be opened or is
// no regular file, else the temporary source. `copy_error` is errno right after the copy.
std::string copy_failure(const RunState& state, int copy_error) {
  const UniqueFd fd(open(state.script_path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd) return state.script_path + ": " + std::strerror(errno);
  struct stat status;
  const bool regular = fstat(fd.get(), &status) == 0 && S_ISREG(status.st_mode);
  if (!regular) {
    return state.script_path + ": " +
           (S_ISDIR(status.st_mode) ? std::strerror(EISDIR) : "not a regular file");
  }
  return state.source_path + ": " + std::strerror(copy_error != 0 ? copy_error : EIO);
}

}  // namespace

void prepare_plain_source(const RunState& state) {
  errno = 0;
  if (copy_file(state.script_path, state.source_path) == 0) {
    error_page(state, "Source file cannot be copied.", copy_failure(state, errno));
  }
  TextFile source = open_text_file(state.source_path);
  if (source == 0) error_page(state, "Temporary source file cannot be edited.");
  // Detection leaves the position right behind a byte-order mark.
  const int format = detect_string_format(source);
  write_text_file_string(source, ";", format);
  close_text_file(source);
}

}  // namespace sr
