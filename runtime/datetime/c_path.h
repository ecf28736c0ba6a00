// Paths handed to the operating system as C strings.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace sr {

// The path as a C string; nullopt when it holds a NUL, which would name another file.
inline std::optional<std::string> c_path(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) return std::nullopt;
  return std::string(path);
}

}  // namespace sr
