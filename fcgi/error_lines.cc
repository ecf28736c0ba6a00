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
      emit_full_pieces(out);
      return;
    }
    // The line's end may come in a read that takes it past a piece's length.
    partial_ += bytes.substr(0, feed);
    emit_full_pieces(out);
    finish(out);
    bytes.remove_prefix(feed + 1);
  }
}

void ErrorLines::emit_full_pieces(std::string& out) {
  std::size_t at = 0;
  for (; partial_.size() - at >= kLongestLine; at += kLongestLine) {
    append_line(std::string_view(partial_).substr(at, kLongestLine), out);
  }
  partial_.erase(0, at);
}

void ErrorLines::split(std::string_view bytes, std::string& out) {
  while (!bytes.empty()) {
    if (just_split_ && bytes.front() == '\n') bytes.remove_prefix(1);
    just_split_ = false;
    const std::size_t room = kLongestLine - run_;
    const std::size_t feed = bytes.substr(0, room).find('\n');
    if (feed != std::string_view::npos) {
      out.append(bytes.substr(0, feed + 1));
      run_ = 0;
      bytes.remove_prefix(feed + 1);
    } else if (bytes.size() < room) {
      out.append(bytes);
      run_ += bytes.size();
      return;
    } else {
      out.append(bytes.substr(0, room));
      out += '\n';
      run_ = 0;
      just_split_ = true;
      bytes.remove_prefix(room);
    }
  }
}

void ErrorLines::finish(std::string& out) {
  append_line(partial_, out);
  partial_.clear();
}

}  // namespace sr::fcgi
