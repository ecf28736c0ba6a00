#include "compiler/include_expander.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>

#include "compiler/executable_writer.h"
#include "compiler/lexer.h"
#include "compiler/source_lines.h"

namespace sr::zr {
namespace {

std::string folder_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

bool starts_with_include(const std::string& text) {
  size_t i = text.find_first_not_of(" \t");
  if (i == std::string::npos || text.size() - i < 8) return false;
  for (char c : std::string("include")) {
    if ((text[i++] | 0x20) != c) return false;
  }
  return text[i] == ' ' || text[i] == '\t' || text[i] == '"';
}

class Expander {
 public:
  Expander(const IncludeReader& reader, std::vector<CompileError>& errors)
      : reader_(reader), errors_(errors) {}

  // The main program has `outer` 0; an included file's lines all count as its outermost
  // Include line, with "path line M: " for every level in `prefix`.
  void add_lines(const std::string& path, const std::vector<std::string>& lines, uint32_t outer,
                 const std::string& prefix) {
    for (size_t i = 0; i < lines.size(); ++i) {
      const auto number = static_cast<uint32_t>(i + 1);
      const uint32_t line = outer != 0 ? outer : number;
      const std::string where = outer != 0 ? prefix + std::to_string(number) + ": " : "";
      std::string included;
      if (include_line(lines[i], line, where, included)) {
        include(path, included, line, where);
      } else {
        out_.push_back({SourceLine::Kind::code, line, where, lines[i]});
      }
    }
  }

  void mark_seen(const std::string& identity) { seen_.insert(identity); }
  std::vector<SourceLine> take() { return std::move(out_); }

 private:
  // True for an Include line; `path` is its file, or "" when the line is malformed (reported).
  bool include_line(const std::string& text, uint32_t line, const std::string& where,
                    std::string& path) {
    std::vector<Token> tokens;
    std::string error;
    if (!tokenize_line(text, tokens, error)) {
      // `Include lib.inc` holds no token for "."; it is still meant as an Include.
      if (!starts_with_include(text)) return false;  // the compiler reports it
      tokens.assign(1, Token{});
    } else if (tokens[0].kind != Token::Kind::name || tokens[0].text != "include") {
      return false;
    }
    if (tokens.size() < 3 || tokens[1].kind != Token::Kind::string ||
        tokens[2].kind != Token::Kind::end || tokens[1].text.empty()) {
      errors_.push_back(
          {line, where + "Include needs one file name in double quotes", out_.size()});
      path.clear();
      return true;
    }
    path = tokens[1].text;
    return true;
  }

  // `from` is the including file, "" for a main program that has no folder of its own.
  void include(const std::string& from, const std::string& path, uint32_t line,
               const std::string& where) {
    if (path.empty()) return;
    if (from.empty() && !path.starts_with("/")) {
      errors_.push_back({line,
                         where + "Include \"" + path +
                             "\" needs the script's own path (SCRIPT_FILENAME) to be found; "
                             "give an absolute path or set SCRIPT_FILENAME",
                         out_.size()});
      return;
    }
    const std::string full = path.starts_with("/") ? path : folder_of(from) + path;
    std::string content, identity, error;
    std::vector<std::string> lines;
    if (!reader_(full, content, identity)) {
      errors_.push_back({line, where + "Cannot read the included file " + path, out_.size()});
      return;
    }
    if (!seen_.insert(identity).second) return;
    if (!split_source_lines(content, lines, error)) {
      errors_.push_back({line, where + path + " line 1: " + error, out_.size()});
      return;
    }
    out_.push_back({SourceLine::Kind::include_begin, line, where, ""});
    add_lines(full, lines, line, where + path + " line ");
    out_.push_back({SourceLine::Kind::include_end, line, where, ""});
  }

  const IncludeReader& reader_;
  std::vector<CompileError>& errors_;
  std::set<std::string> seen_;
  std::vector<SourceLine> out_;
};

}  // namespace

bool read_included_file(const std::string& path, std::string& content, std::string& identity) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  identity = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
  return read_whole_file(path, content);
}

std::vector<SourceLine> expand_includes(const std::string& main_path,
                                        const std::vector<std::string>& lines,
                                        const IncludeReader& reader,
                                        std::vector<CompileError>& errors) {
  Expander expander(reader, errors);
  std::string content, identity;
  // A file that includes the main program gets nothing: the program is already there.
  if (!main_path.empty() && reader(main_path, content, identity)) expander.mark_seen(identity);
  expander.add_lines(main_path, lines, 0, "");
  return expander.take();
}

}  // namespace sr::zr
