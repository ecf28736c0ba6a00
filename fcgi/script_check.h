// What the kernel would run for a script: its first line read as an interpreter line, and the
// checks that keep anything but an executable script for the runner from being compiled.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sr::fcgi {

// The kernel looks at this many bytes of a script's start.
constexpr std::size_t kInterpreterLineBuffer = 256;

struct InterpreterLine {
  std::string interpreter;
  std::optional<std::string> argument;  // the rest of the line as one argument, when any
};

// Reads `head` (the file's first bytes, at most kInterpreterLineBuffer of them are used) as the
// kernel reads "#!": blanks and tabs around the interpreter and at the line's end are trimmed,
// a NUL ends the name or the argument, a name that does not end within the buffer (its last
// byte included) is no name, and without a LF in it the line ends before its last byte.
// std::nullopt when the kernel would not run the file as a script.
std::optional<InterpreterLine> parse_interpreter_line(std::string_view head);

struct ScriptLaunch {
  std::vector<std::string> argv;  // interpreter, [argument], script path
  std::string refusal;            // one line saying why the script may not run; "" when it may
};

// Checks that `script_path` is a regular file with an execute bit that this process may
// execute, whose interpreter's file name is `scriptrunner`, and builds the argument vector.
ScriptLaunch check_script(const std::string& script_path);

}  // namespace sr::fcgi
