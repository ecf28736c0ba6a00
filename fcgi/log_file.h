// The server's log file: standard error is pointed at it, and pointed at it again (a new file of
// that name) when it has been rotated.
#pragma once

#include <string>

namespace sr::fcgi {

// Opens `path` for appending (made 0640 when missing) and puts it on standard error; returns ""
// or why it cannot, with standard error left as it was.
std::string log_to_file(const std::string& path);

}  // namespace sr::fcgi
