// Text that goes into a log line: whatever a request named, it stays one line.
#pragma once

#include <string>
#include <string_view>

namespace sr {

// `text` with every control byte (0x00-0x1F, 0x7F) written as \xHH, so that a newline or
// carriage return in a request's path cannot start a forged line of its own.
std::string escape_for_log(std::string_view text);

}  // namespace sr
