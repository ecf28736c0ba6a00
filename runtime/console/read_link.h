// Reading a symbolic link's whole target, however long.
#pragma once

#include <optional>
#include <string>

namespace sr {

// The link's target; nullopt when readlink fails.
std::optional<std::string> read_link(const char* path);

}  // namespace sr
