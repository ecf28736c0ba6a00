// The here-document preprocessor on any script. It always ends and writes the script's marker
// first; for a script without a marker (or one of the formats stored byte for byte) the first
// line comes out behind ";" and no CR or zero byte comes out; and a script without "<<" comes
// out as ";" + its first line, then its other lines, each ended by a single LF.
// Scripts that may name include files run in a child process, since a missing include file ends
// the run through the error page.
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "runner/heredoc.h"
#include "runner/run_state.h"
#include "runtime/regex/regex.h"
#include "runtime/runtime.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using namespace std::string_view_literals;

const sr::fuzz::ScratchDir& scratch() {
  static const sr::fuzz::ScratchDir dir;
  return dir;
}

// The marker that detection finds at the start, and its format; "" and 3 when there is none.
std::string_view marker_of(std::string_view bytes, int& format) {
  constexpr std::pair<std::string_view, int> markers[] = {{"\xFF\xFE\x00\x00"sv, 5},
                                                          {"\xFF\xFE"sv, 1},
                                                          {"\xEF\xBB\xBF"sv, 2},
                                                          {"\xFE\xFF"sv, 4},
                                                          {"\x00\x00\xFF\xFE"sv, 6}};
  for (const auto& [marker, f] : markers) {
    if (bytes.substr(0, marker.size()) == marker) {
      format = f;
      return marker;
    }
  }
  format = 3;
  return "";
}

// The first line of a byte-wise script, and what follows its line end.
std::string_view first_line(std::string_view text, std::string_view& rest) {
  std::size_t end = 0;
  while (end < text.size() && text[end] != '\n' && text[end] != '\r' && text[end] != '\0') ++end;
  std::size_t next = end;
  if (next < text.size())
    next += text[next] == '\r' && next + 1 < text.size() && text[next + 1] == '\n' ? 2 : 1;
  rest = text.substr(next);
  return text.substr(0, end);
}

bool contains_ignoring_case(std::string_view text, std::string_view sought) {
  for (std::size_t i = 0; i + sought.size() <= text.size(); ++i) {
    std::size_t k = 0;
    while (k < sought.size() && (text[i + k] | 0x20) == sought[k]) ++k;
    if (k == sought.size()) return true;
  }
  return false;
}

std::string preprocess(const sr::RunState& state, bool in_child) {
  if (!in_child) {
    sr::preprocess_script(state);
    // The two patterns are compiled afresh by every run; free them between inputs.
    sr::shutdown_regex_library();
    sr::init_regex_library();
    return sr::fuzz::read_file(state.source_path);
  }
  const pid_t child = fork();
  if (child < 0) sr::fuzz::fail("fork", "a child", "none");
  if (child == 0) {
    sr::preprocess_script(state);
    _exit(0);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    sr::fuzz::fail("the preprocessor's child ended badly", "exit 0", std::to_string(status));
  }
  return sr::fuzz::read_file(state.source_path);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool initialised = [] {
    sr::init_runtime();
    sr::fuzz::write_file(scratch().file("inc"), "<h1>\nTitle\r\n</h1>");
    sr::fuzz::write_file(scratch().file("wide"),
                         "\xFF\xFE"
                         "A\0\n\0B\0"sv);
    return true;
  }();
  (void)initialised;
  const std::string_view script(reinterpret_cast<const char*>(data), size);
  sr::RunState state;
  state.script_path = scratch().file("script.cgi");
  state.source_path = scratch().file("script.zr");
  sr::fuzz::write_file(state.script_path, script);
  const bool may_include =
      contains_ignoring_case(script, "<<include") || contains_ignoring_case(script, "<<file");
  const std::string output = preprocess(state, may_include);

  int format = 3;
  const std::string_view marker = marker_of(script, format);
  if (output.substr(0, marker.size()) != marker) {
    sr::fuzz::fail("the temporary source does not begin with the script's marker", marker, output);
  }
  // Formats 1 and 2 convert each line; the others are read and written byte for byte.
  if (format == 1 || format == 2) return 0;
  std::string_view rest;
  const std::string_view text = script.substr(marker.size());
  const std::string head = std::string(marker) + ";" + std::string(first_line(text, rest)) + "\n";
  if (output.substr(0, head.size()) != head) {
    sr::fuzz::fail("first line", head, output.substr(0, head.size()));
  }
  if (output.substr(marker.size()).find_first_of("\r\0"sv) != std::string::npos) {
    sr::fuzz::fail("a CR or zero byte reached the temporary source", "", output);
  }
  if (script.find("<<") == std::string_view::npos) {
    std::string expected = head;
    for (const std::string& line : sr::fuzz::split_byte_lines(rest)) expected += line + "\n";
    if (output != expected) sr::fuzz::fail("script without blocks", expected, output);
  }
  return 0;
}
