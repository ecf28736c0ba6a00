#include "runner/relay.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>

#include "runner/build_executable.h"
#include "runner/error_page.h"
#include "runner/executable_cache.h"
#include "runner/request_body.h"
#include "runtime/console/console.h"
#include "runtime/datetime/files.h"
#include "runtime/process/process.h"
#include "runtime/strings/strings.h"

namespace sr {
namespace {

constexpr int kBlockSize = 1000;
constexpr int kIdlePauseMs = 5;

struct Relay {
  ProgramHandle script;
  RequestBody& body;
  char block[kBlockSize];
  std::string line;
  bool output_ended = false;

  // One error line; empty lines of the script are dropped.
  void relay_error_line() {
    if (read_program_error_line_now(script, line) && !line.empty()) print_error_line(line);
  }

  // One output block; false when none was waiting.
  bool relay_output_block(int limit = kBlockSize) {
    if (output_ended) return false;
    const int n = read_program_output_now(script, block, std::min(limit, kBlockSize));
    if (n < 0) output_ended = true;
    if (n <= 0) return false;
    write_standard_output(block, n);
    return true;
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
    if (body.wants_standard_input()) watch(STDIN_FILENO, POLLIN);
    poll(set.data(), count, kIdlePauseMs);
  }

  bool standard_input_ready() {
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
    int left = pending_program_output(script);
    while (left > 0 && relay_output_block(left)) left -= kBlockSize;
    while (read_program_error_line_now(script, line)) {
      if (!line.empty()) print_error_line(line);
    }
  }

  void run() {
    while (true) {
      relay_error_line();
      const bool relayed = relay_output_block();
      pass_body();
      if (relayed) continue;
      if (program_exit_code(script) != -1) break;
      wait_for_events();
    }
    drain();
  }
};

std::int32_t content_length() {
  // Only the low 32 bits count, taken as signed.
  return static_cast<std::int32_t>(
      static_cast<std::uint32_t>(string_to_number(get_environment_variable("CONTENT_LENGTH"))));
}

}  // namespace

void execute_and_relay(const RunState& state) {
  ProgramHandle script = start_program(
      state.executable_path, state.switch_string, path_part(state.script_path),
      ProgramFlag::open | ProgramFlag::read | ProgramFlag::write | ProgramFlag::error);
  if (script == 0) {
    error_page(state, "The compiled program cannot be started: " + state.executable_path);
  }
  RequestBody body(script, content_length());
  Relay{script, body, {}, {}, false}.run();

  if (force_mode(state)) delete_file(state.executable_path);
  delete_temporary_source(state);
}

}  // namespace sr
