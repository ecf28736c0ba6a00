#include "compiler/source_lines.h"

namespace sr::zr {

bool split_source_lines(std::string_view text, std::vector<std::string>& lines,
                        std::string& error) {
  lines.clear();
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  if (text.starts_with("\xFF\xFE") || text.starts_with("\xFE\xFF")) {
    error = "UTF-16 sources are not supported; save the script as UTF-8 or ASCII";
    return false;
  }
  std::string line;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c != '\n' && c != '\r') {
      line.push_back(c);
      continue;
    }
    if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    lines.push_back(std::move(line));
    line.clear();
  }
  if (!line.empty()) lines.push_back(std::move(line));
  return true;
}

}  // namespace sr::zr
