// Writes an executable (stub, program, trailer) so that it appears at its path all at once.
#pragma once

#include <string>

namespace sr::zr {

// Writes under a fresh temporary name in the target's folder, then renames it into place with
// mode 0777 less the umask. Returns false with a one-line reason in `error`; no file is left
// behind then.
bool write_executable(const std::string& path, const std::string& stub, const std::string& program,
                      std::string& error);

// Reads a whole file; returns false when it cannot be opened or read.
bool read_whole_file(const std::string& path, std::string& content);

}  // namespace sr::zr
