#include "runtime/strings/strings.h"

namespace sr {

std::string path_part(std::string_view path) {
  // A quoted path, as found in argument strings, keeps its directory without the opening quote.
  if (!path.empty() && path.front() == '"') path.remove_prefix(1);
  std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return {};
  return std::string(path.substr(0, slash + 1));
}

}  // namespace sr
