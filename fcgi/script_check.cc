#include "fcgi/script_check.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "runtime/files/unique_fd.h"
#include "runtime/strings/log_text.h"

namespace sr::fcgi {
namespace {

constexpr std::string_view kRunnerName = "scriptrunner";

bool blank(char c) {
  return c == ' ' || c == '\t';
}
bool terminator(char c) {
  return c == ' ' || c == '\t' || c == '\0';
}

std::size_t skip_blanks(std::string_view text, std::size_t at, std::size_t end) {
  while (at < end && blank(text[at])) ++at;
  return at;
}

std::size_t find_terminator(std::string_view text, std::size_t at, std::size_t end) {
  while (at < end && !terminator(text[at])) ++at;
  return at;
}

std::string_view up_to_nul(std::string_view text) {
  return text.substr(0, text.find('\0'));
}

std::string file_name(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The first bytes of the open file, as many as the kernel reads.
std::optional<std::string> read_head(int fd) {
  std::string head(kInterpreterLineBuffer, '\0');
  std::size_t filled = 0;
  while (filled < head.size()) {
    const ssize_t n = ::read(fd, head.data() + filled, head.size() - filled);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    filled += static_cast<std::size_t>(n);
  }
  head.resize(filled);
  return head;
}

}  // namespace

std::optional<InterpreterLine> parse_interpreter_line(std::string_view head) {
  // The kernel's buffer: the file's first bytes, zero-filled when the file is shorter.
  std::string buffer(head.substr(0, kInterpreterLineBuffer));
  buffer.resize(kInterpreterLineBuffer, '\0');
  if (buffer[0] != '#' || buffer[1] != '!') return std::nullopt;
  std::size_t line_end = buffer.find('\n');
  if (line_end == std::string::npos) {
    // The name must end (a blank, a tab or a NUL) within the buffer, its last byte included:
    // else it may have been cut off. The line then ends at that last byte.
    const std::size_t name = skip_blanks(buffer, 2, buffer.size());
    if (name == buffer.size()) return std::nullopt;
    if (find_terminator(buffer, name, buffer.size()) == buffer.size()) return std::nullopt;
    line_end = buffer.size() - 1;
  }
  while (line_end > 2 && blank(buffer[line_end - 1])) --line_end;
  const std::size_t name = skip_blanks(buffer, 2, line_end);
  if (name == line_end) return std::nullopt;
  const std::size_t name_end = find_terminator(buffer, name, line_end);
  InterpreterLine line;
  line.interpreter = buffer.substr(name, name_end - name);
  if (line.interpreter.empty()) return std::nullopt;
  if (name_end < line_end && buffer[name_end] != '\0') {
    const std::size_t argument = skip_blanks(buffer, name_end, line_end);
    if (argument < line_end) {
      line.argument =
          std::string(up_to_nul(std::string_view(buffer).substr(argument, line_end - argument)));
    }
  }
  return line;
}

ScriptLaunch check_script(const std::string& script_path) {
  ScriptLaunch launch;
  // The path is the request's text: a control byte in it must not start a line of its own.
  const std::string named = escape_for_log(script_path);
  // A relative name would be taken from the server's folder, and the compiler would look for
  // the script's include files there.
  if (!script_path.empty() && !script_path.starts_with('/')) {
    launch.refusal = "The script's path is not absolute: " + named;
    return launch;
  }
  struct stat status;
  // Checked before opening, so that opening a pipe or a device cannot block or do anything.
  if (::stat(script_path.c_str(), &status) != 0) {
    launch.refusal = "The script cannot be found: " + named;
    return launch;
  }
  if (!S_ISREG(status.st_mode)) {
    launch.refusal = "The script is not a regular file: " + named;
    return launch;
  }
  UniqueFd file(::open(script_path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  // What was opened is what counts: the name may have been replaced after the check above.
  if (!file || ::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
    launch.refusal = "The script cannot be read: " + named;
    return launch;
  }
  if ((status.st_mode & 0111) == 0 ||
      ::faccessat(AT_FDCWD, script_path.c_str(), X_OK, AT_EACCESS) != 0) {
    launch.refusal = "The script is not executable: " + named;
    return launch;
  }
  const std::optional<std::string> head = read_head(file.get());
  const std::optional<InterpreterLine> line = head ? parse_interpreter_line(*head) : std::nullopt;
  if (!line || file_name(line->interpreter) != kRunnerName) {
    launch.refusal = "The script's first line does not name scriptrunner: " + named;
    return launch;
  }
  launch.argv.push_back(line->interpreter);
  if (line->argument) launch.argv.push_back(*line->argument);
  launch.argv.push_back(script_path);
  return launch;
}

}  // namespace sr::fcgi
