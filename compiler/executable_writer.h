// Writes an executable (stub, program, trailer) so that it appears at its path all at once.
#pragma once

#include <string>

namespace sr::zr {

// Writes under a fresh temporary name in the target's folder, then renames it into place with
// mode 0777 less the umask. Returns "" on success, else a one-line reason; no file is left behind
// on failure.
std::string write_executable(const std::string& path, const std::string& stub,
                             const std::string& program);

// Reads a whole file; returns false when it cannot be opened or read.
bool read_whole_file(const std::string& path, std::string& content);

}  // namespace sr::zr
