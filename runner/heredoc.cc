// Parse mode: the script is rewritten line by line into the temporary source, and each
// here-document block becomes one line of the script language.
#include "runner/heredoc.h"

#include <cstddef>
#include <filesystem>
#include <string>
#include <system_error>

#include "runner/error_page.h"
#include "runtime/regex/regex.h"
#include "runtime/strings/strings.h"
#include "runtime/textfile/textfile.h"

namespace sr {
namespace {

constexpr std::string_view kOpenerPattern = "(?i)<<(|here|include|file|file|multi(|line)|(cr|)lf)$";
constexpr std::string_view kCloserPattern = "^\\s*<<";
// Multi-line with CR, LF and CR LF as line breaks; lines are matched without their line end.
constexpr int kLineRegexFlags = 0x500002;
constexpr std::string_view kMarker = "<<";
constexpr std::string_view kLfJoin = "\"+#LF$+\"";
constexpr std::string_view kCrlfJoin = "\"+#CRLF$+\"";

enum class BlockKind { include, crlf_join, lf_join, plain };

BlockKind block_kind(const std::string& keyword) {
  if (keyword == "include" || keyword == "file") return BlockKind::include;
  if (keyword == "crlf") return BlockKind::crlf_join;
  if (keyword == "lf" || keyword == "multiline" || keyword == "multi" || keyword == "here") {
    return BlockKind::lf_join;
  }
  return BlockKind::plain;
}

// Closes the file when the phase returns; a run that ends through error_page leaves the file to
// the runtime's shutdown, which flushes what was written.
class ScopedTextFile {
 public:
  explicit ScopedTextFile(TextFile file) : file_(file) {}
  ~ScopedTextFile() { close_text_file(file_); }
  ScopedTextFile(const ScopedTextFile&) = delete;
  ScopedTextFile& operator=(const ScopedTextFile&) = delete;
  TextFile get() const { return file_; }

 private:
  TextFile file_;
};

// Copies the opened script into the opened temporary source, expanding blocks on the way.
class HeredocWriter {
 public:
  HeredocWriter(const RunState& state, TextFile script, TextFile source)
      : state_(state), script_(script), source_(source) {}

  void run() {
    format_ = detect_string_format(script_);
    write_string_format_marker(source_, format_);
    // The shebang line becomes a comment; read without an end test, so an empty script gives ";".
    write_line(";" + read_text_file_line(script_, format_));
    opener_ = create_regex(kOpenerPattern, kLineRegexFlags);
    closer_ = create_regex(kCloserPattern, kLineRegexFlags);
    while (!text_file_at_end(script_)) {
      const std::string line = read_text_file_line(script_, format_);
      if (regex_matches(opener_, line)) {
        expand_block(line);
      } else {
        write_line(line);
      }
    }
  }

 private:
  void write(std::string_view text) { write_text_file_string(source_, text, format_); }
  void write_line(std::string_view text) { write_text_file_line(source_, text, format_); }

  // The opening line's text before its last "<<", the block's content, then the text after the
  // first "<<" of the line that ended the block, and the line end. A block that the script's end
  // leaves open ends with the last line read (the opening line itself when nothing followed).
  void expand_block(const std::string& opening_line) {
    const std::int64_t opener_at = find_last_string(opening_line, kMarker, 0);
    write(left_string(opening_line, opener_at - 1));
    const BlockKind kind = block_kind(lower_case(mid_string(opening_line, opener_at + 2)));
    const std::string last = copy_block_body(kind, opening_line);
    write_line(mid_string(last, find_string(last, kMarker, 1) + 2));
  }

  // Returns the closing line, or the last line read when the script ends first.
  std::string copy_block_body(BlockKind kind, std::string last) {
    while (!text_file_at_end(script_)) {
      last = read_text_file_line(script_, format_);
      if (regex_matches(closer_, last)) return last;
      write_block_line(kind, last);
    }
    return last;
  }

  void write_block_line(BlockKind kind, const std::string& line) {
    switch (kind) {
      case BlockKind::include:
        copy_include(line);
        return;
      case BlockKind::crlf_join:
        write(kCrlfJoin);
        break;
      case BlockKind::lf_join:
        write(kLfJoin);
        break;
      case BlockKind::plain:
        break;
    }
    write(line);
  }

  // The named file's lines joined by the line-feed constant; the name is always taken relative
  // to the script's folder.
  void copy_include(const std::string& line) {
    const std::string name = path_part(state_.script_path) + trim_spaces(line);
    const TextFile opened = is_temporary_source(name) ? 0 : open_text_file_read_only(name);
    // A folder (a blank line names the script's own) reads as no lines at all.
    if (opened == 0 && is_folder(name)) return;
    if (opened == 0) error_page(state_, "Could not open '" + line + "' as include file.");
    const ScopedTextFile include(opened);
    const int include_format = detect_string_format(include.get());
    while (!text_file_at_end(include.get())) {
      write(read_text_file_line(include.get(), include_format));
      if (!text_file_at_end(include.get())) write(kLfJoin);
    }
  }

  static bool is_folder(const std::string& name) {
    std::error_code error;
    return std::filesystem::is_directory(name, error);
  }

  // Including the file being written would read its own growing output without end.
  bool is_temporary_source(const std::string& name) const {
    std::error_code error;
    return std::filesystem::equivalent(name, state_.source_path, error) && !error;
  }

  const RunState& state_;
  TextFile script_;
  TextFile source_;
  int format_ = StringFormat::ascii;
  RegexHandle opener_ = 0;
  RegexHandle closer_ = 0;
};

}  // namespace

std::int64_t find_last_string(std::string_view text, std::string_view pattern, int mode) {
  if (pattern.empty() || pattern.size() > text.size()) return 0;
  for (std::size_t start = text.size() - pattern.size() + 1; start >= 1; --start) {
    if (compare_prefix(text.substr(start - 1), pattern, mode, pattern.size()) == 0) {
      return static_cast<std::int64_t>(start);
    }
  }
  return 0;
}

void preprocess_script(const RunState& state) {
  const TextFile script = open_text_file_read_only(state.script_path);
  if (script == 0) error_page(state, "The source file cannot be read for parsing.");
  const ScopedTextFile script_file(script);
  const TextFile source = create_text_file(state.source_path);
  if (source == 0) error_page(state, "The source file cannot be created.");
  const ScopedTextFile source_file(source);
  HeredocWriter(state, script, source).run();
}

}  // namespace sr
