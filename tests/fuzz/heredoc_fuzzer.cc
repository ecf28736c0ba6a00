// The here-document preprocessor on any script. It always ends and writes the script's marker
// first; for a script without a marker (or one of the formats stored byte for byte) the first
// line comes out behind ";" and no CR or zero byte comes out; and a script without "<<" comes
// out as ";" + its first line, then its other lines, each ended by a single LF.
// The error page is replaced by one that throws, so that a missing include file ends only the
// one input; its message must name the block line as it was read.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "runner/error_page.h"
#include "runner/heredoc.h"
#include "runner/run_state.h"
#include "runtime/regex/regex.h"
#include "runtime/runtime.h"
#include "tests/fuzz/fuzz_support.h"

struct ErrorPageReached {
  std::string message;
};

namespace sr {

void error_page(const RunState&, std::string_view message) {
  throw ErrorPageReached{std::string(message)};
}

}  // namespace sr

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

// Runs the preprocessor; false with `message` when it ended through the error page.
bool preprocess(const sr::RunState& state, std::string& output, std::string& message) {
  bool ended = false;
  try {
    sr::preprocess_script(state);
  } catch (const ErrorPageReached& e) {
    message = e.message;
    ended = true;
  }
  // The two patterns are compiled afresh by every run; free them between inputs.
  sr::shutdown_regex_library();
  sr::init_regex_library();
  output = sr::fuzz::read_file(state.source_path);
  return !ended;
}

// True when some line of `script` is exactly `line`, whatever ends it.
bool has_line(std::string_view script, std::string_view line) {
  for (const std::string& l : sr::fuzz::split_byte_lines(script)) {
    if (l == line) return true;
  }
  return false;
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
  std::string output;
  std::string message;
  if (!preprocess(state, output, message)) {
    // Only a missing include file ends the run here; it names the line as the script holds it
    // (lines of converted formats are not compared).
    constexpr std::string_view kPrefix = "Could not open '", kSuffix = "' as include file.";
    const bool shaped = message.size() >= kPrefix.size() + kSuffix.size() &&
                        message.starts_with(kPrefix) && message.ends_with(kSuffix);
    const std::string_view named =
        shaped ? std::string_view(message).substr(kPrefix.size(),
                                                  message.size() - kPrefix.size() - kSuffix.size())
               : "";
    int f = 3;
    marker_of(script, f);
    const bool converted = f == 1 || f == 2;
    if (!shaped || (!converted && !has_line(script, named))) {
      sr::fuzz::fail("the run ended with an unexpected message", "Could not open '<line>'...",
                     message);
    }
    return 0;
  }

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
