#include "runner/relay.h"

#include <poll.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

#include "runner/error_page.h"
#include "runner/request_body.h"
#include "runtime/console/console.h"
#include "runtime/process/process.h"
#include "runtime/strings/strings.h"

namespace sr {
namespace {

constexpr int kBlockSize = 1000;
constexpr int kIdlePauseMs = 5;
// What a script can leave in its error pipe when it ends (the largest pipe an unprivileged
// program can ask for), with room to spare; a descendant that keeps writing gets no more.
constexpr std::size_t kErrorDrainLimit = 2 << 20;
constexpr int kErrorCheckPasses = 64;

struct Relay {
  ProgramHandle script;
  RequestBody& body;
  char block[kBlockSize] = {};
  std::string line{};
  bool output_ended = false;
  // Looking for an error line costs a read; while output streams without pause, look every
  // kErrorCheckPasses blocks, and always after a wait.
  bool error_may_wait = true;
  int passes_without_check = 0;
  // What the last wait saw of standard input; unknown when no wait came since the last pass.
  enum class InputSeen { unknown, ready, idle } input_seen = InputSeen::unknown;

  // One error line; empty lines of the script are dropped. False when no line was complete.
  bool relay_error_line() {
    if (!error_may_wait && ++passes_without_check < kErrorCheckPasses) return false;
    passes_without_check = 0;
    error_may_wait = read_program_error_line_now(script, line);
    if (!error_may_wait) return false;
    if (!line.empty()) print_error_line(line);
    return true;
  }

  // One output block; returns its size, 0 when none was waiting.
  int relay_output_block(int limit = kBlockSize) {
    if (output_ended) return 0;
    const int n = read_program_output_now(script, block, std::min(limit, kBlockSize));
    if (n < 0) output_ended = true;
    if (n <= 0) return 0;
    if (write_standard_output(block, n) < n) visitor_gone();
    return n;
  }

  // Nobody reads the response any more: the script's next write meets a closed pipe, as a
  // program that the web server started itself would. Its error lines still reach the log.
  void visitor_gone() {
    output_ended = true;
    close_program_output(script);
  }

  // Sleeps until output, an error byte, room for the body, body bytes or the script's end
  // arrive, or the idle pause has passed.
  void wait_for_events() {
    const ProgramDescriptors fds = program_descriptors(script);
    std::array<pollfd, 5> set;
    nfds_t count = 0;
    auto watch = [&](int fd, short events) {
      if (fd >= 0) set[count++] = {fd, events, 0};
    };
    if (!output_ended) watch(fds.output, POLLIN);
    if (!program_error_at_end(script)) watch(fds.error, POLLIN);
    watch(fds.ended, POLLIN);
    if (body.wants_input_pipe()) watch(fds.input, POLLOUT);
    const bool watch_input = body.wants_standard_input();
    if (watch_input) watch(STDIN_FILENO, POLLIN);
    const bool woken = poll(set.data(), count, kIdlePauseMs) > 0;
    // Standard input is watched last, so its entry is the last one.
    input_seen = !watch_input                           ? InputSeen::unknown
                 : woken && set[count - 1].revents != 0 ? InputSeen::ready
                                                        : InputSeen::idle;
    error_may_wait = true;
  }

  // After a wait its answer stands (only this loop reads standard input); otherwise ask now.
  bool standard_input_ready() {
    const InputSeen seen = std::exchange(input_seen, InputSeen::unknown);
    if (seen != InputSeen::unknown) return seen == InputSeen::ready;
    pollfd in = {STDIN_FILENO, POLLIN, 0};
    return poll(&in, 1, 0) > 0;
  }

  void pass_body() {
    if (!body.active()) return;
    if (body.wants_standard_input() && standard_input_ready()) body.read_standard_input_now();
    body.pass_to_script();
  }

  // The script has ended, so all it wrote is in the pipes. A descendant that keeps them open
  // may go on writing; only what is there now is relayed.
  void drain() {
    for (int left = pending_program_output(script); left > 0;) {
      const int n = relay_output_block(left);
      if (n == 0) break;
      left -= n;
    }
    std::size_t relayed = 0;
    error_may_wait = true;
    while (relayed < kErrorDrainLimit && relay_error_line()) relayed += line.size() + 1;
    // The script's last line without its LF ends only when the descendant lets go; relay it now.
    if (take_program_error_rest(script, line)) print_error_line(line);
  }

  void run() {
    while (true) {
      // Complete error lines already buffered do not wake a wait, so a pass that relays
      // anything goes straight on to the next.
      const bool relayed_line = relay_error_line();
      const bool relayed_block = relay_output_block() > 0;
      pass_body();
      // Once the script has ended, what it wrote is all in the pipes: drain() takes exactly
      // that, even while a descendant holding the pipes goes on writing.
      if (program_exit_code(script) != -1) break;
      if (!relayed_line && !relayed_block) wait_for_events();
    }
    drain();
  }
};

// The system's reason, and a word on the usual cause of EACCES for a file that passed every
// check: a temporary directory mounted noexec.
std::string start_failure(const std::string& executable, int error) {
  std::string reason = std::strerror(error);
  const std::string folder = path_part(executable);
  struct statvfs status;
  if (error == EACCES && statvfs(folder.c_str(), &status) == 0 && (status.f_flag & ST_NOEXEC)) {
    reason += " (" + folder + " is on a file system mounted noexec)";
  }
  return reason;
}

}  // namespace

void execute_and_relay(const RunState& state) {
  int exec_error = 0;
  ProgramHandle script = start_program_file(
      state.executable_fd, state.executable_path, state.switch_string, path_part(state.script_path),
      ProgramFlag::open | ProgramFlag::read | ProgramFlag::write | ProgramFlag::error, exec_error);
  if (script == 0) {
    const int error = exec_error != 0 ? exec_error : errno;
    error_page_naming(state, "The compiled program cannot be started: ", state.executable_path,
                      start_failure(state.executable_path, error));
  }
  RequestBody body(script, RequestBody::content_length());
  Relay{.script = script, .body = body}.run();
}

}  // namespace sr
