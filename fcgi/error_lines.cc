#include "fcgi/error_lines.h"

namespace sr::fcgi {
namespace {

void append_line(std::string_view line, std::string& out) {
  if (line.empty()) return;
  out += line.substr(0, line.find('\0'));
  out += '\n';
}

}  // namespace

void ErrorLines::feed(std::string_view bytes, std::string& out) {
  while (!bytes.empty()) {
    const std::size_t feed = bytes.find('\n');
    if (feed == std::string_view::npos) {
      partial_ += bytes;
      while (partial_.size() >= kLongestLine) {
        append_line(std::string_view(partial_).substr(0, kLongestLine), out);
        partial_.erase(0, kLongestLine);
      }
      return;
    }
    if (partial_.empty()) {
      append_line(bytes.substr(0, feed), out);
    } else {
      partial_ += bytes.substr(0, feed);
      finish(out);
    }
    bytes.remove_prefix(feed + 1);
  }
}

void ErrorLines::finish(std::string& out) {
  append_line(partial_, out);
  partial_.clear();
}

}  // namespace sr::fcgi
