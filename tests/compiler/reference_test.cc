// Keeps the language reference honest: every runnable example in it is compiled with the built
// zrcompiler and run, and what it writes must be what the reference shows beside it; every row of
// a table with "example" and "result" columns is evaluated the same way.
//
// The markup, as the reference itself explains it to its readers:
//   ```zr [NAME=VALUE ...]   a program, run with exactly those environment variables
//   ```zr file=NAME          a file written beside the next program (an included file, data)
//   ```input                 the next program's standard input, without the block's last LF
//   ```output [exit=N]       its standard output, byte for byte
//   ```error [exit=N]        its standard error; the exit code is N, else 1 when there is an
//                            error block, else 0
//   ```compile-error         what the compiler prints for it; no executable is written
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/compiler/compile_harness.h"

namespace sr::test {
namespace {

struct Block {
  int line = 0;                   // of the opening fence in the reference, from 1
  std::string section;            // the heading above it
  std::vector<std::string> info;  // the words after the fence; info[0] is the kind
  std::string text;               // every line of the block, each ended by LF
};

struct Example {
  int line = 0;
  std::string section;
  std::string source;
  std::map<std::string, std::string> env;
  std::map<std::string, std::string> files;
  std::string input;
  std::optional<std::string> out, err, compile_error;
  std::optional<int> exit_code;

  std::string name() const {
    return "example at LANGUAGE.md line " + std::to_string(line) + " (" + section + ")";
  }
};

std::vector<std::string> words_of(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

std::vector<std::string> reference_lines() {
  std::ifstream in(SR_REFERENCE_PATH, std::ios::binary);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<Block> fenced_blocks(const std::vector<std::string>& lines) {
  std::vector<Block> blocks;
  std::string section = "top";
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].starts_with("#")) section = lines[i].substr(lines[i].find_first_not_of("# "));
    if (!lines[i].starts_with("```")) continue;
    Block block{static_cast<int>(i + 1), section, words_of(lines[i].substr(3)), ""};
    for (++i; i < lines.size() && lines[i] != "```"; ++i) block.text += lines[i] + "\n";
    if (block.info.empty()) block.info.push_back("");
    blocks.push_back(std::move(block));
  }
  return blocks;
}

// Groups the blocks into examples; a block that belongs to no example is a fault of the reference.
std::vector<Example> examples_of(const std::vector<Block>& blocks) {
  std::vector<Example> examples;
  std::map<std::string, std::string> pending_files;
  bool open = false;  // the last example may still take expectation blocks
  for (const Block& b : blocks) {
    const std::string& kind = b.info[0];
    const std::string where = "block at LANGUAGE.md line " + std::to_string(b.line);
    if (kind == "zr" && b.info.size() == 2 && b.info[1].starts_with("file=")) {
      pending_files[b.info[1].substr(5)] = b.text;
      open = false;
    } else if (kind == "zr") {
      Example e;
      e.line = b.line;
      e.section = b.section;
      e.source = b.text;
      for (size_t i = 1; i < b.info.size(); ++i) {
        const size_t eq = b.info[i].find('=');
        if (eq == std::string::npos) ADD_FAILURE() << where << ": '" << b.info[i] << "'";
        e.env[b.info[i].substr(0, eq)] = b.info[i].substr(eq + 1);
      }
      e.files = std::move(pending_files);
      pending_files.clear();
      examples.push_back(std::move(e));
      open = true;
    } else if (kind == "input" || kind == "output" || kind == "error" || kind == "compile-error") {
      if (!open) {
        ADD_FAILURE() << where << ": '" << kind << "' follows no example";
        continue;
      }
      Example& e = examples.back();
      // A posted body has no line end of its own; a line end the program reads is written
      // as an empty last line.
      if (kind == "input") e.input = b.text.substr(0, b.text.size() - 1);
      if (kind == "output") e.out = b.text;
      if (kind == "error") e.err = b.text;
      if (kind == "compile-error") e.compile_error = b.text;
      if (b.info.size() > 1 && b.info[1].starts_with("exit=")) {
        e.exit_code = std::stoi(b.info[1].substr(5));
      }
    } else {
      open = false;
    }
  }
  if (!pending_files.empty()) ADD_FAILURE() << "a file= block at the end serves no example";
  return examples;
}

// The programs run in their sandbox folder, as the runner runs a script in its own folder.
class InFolder {
 public:
  explicit InFolder(const std::string& dir) : previous_(getcwd(nullptr, 0)) {
    EXPECT_EQ(chdir(dir.c_str()), 0) << dir;
  }
  ~InFolder() {
    if (previous_ != nullptr && chdir(previous_) != 0) ADD_FAILURE() << "cannot return";
    free(previous_);
  }
  InFolder(const InFolder&) = delete;
  InFolder& operator=(const InFolder&) = delete;

 private:
  char* previous_;
};

void check_example(const Example& e) {
  SCOPED_TRACE(e.name());
  if (!e.out && !e.err && !e.compile_error) {
    ADD_FAILURE() << e.name() << " shows no output, error or compile-error block";
    return;
  }
  CompileSandbox box;
  for (const auto& [name, text] : e.files) box.write_file(name, text);
  const ProcessResult compiled = box.compile(e.source);
  if (e.compile_error) {
    EXPECT_EQ(compiled.out, *e.compile_error) << e.name() << "\n" << e.source;
    EXPECT_EQ(compiled.exit_code, 1) << e.name();
    EXPECT_FALSE(box.exists("prog")) << e.name() << " left an executable";
    return;
  }
  ASSERT_EQ(compiled.out, "") << e.name() << " does not compile:\n" << e.source;
  ASSERT_EQ(compiled.exit_code, 0) << e.name();
  InFolder here(box.dir());
  const ProcessResult run = run_process({box.path("prog")}, e.env, e.input);
  EXPECT_EQ(run.out, e.out.value_or("")) << e.name() << " wrote other output:\n" << e.source;
  EXPECT_EQ(run.err, e.err.value_or("")) << e.name() << " wrote another error:\n" << e.source;
  EXPECT_EQ(run.exit_code, e.exit_code.value_or(e.err ? 1 : 0)) << e.name();
}

TEST(ReferenceTest, EveryExampleWritesWhatTheReferenceShows) {
  const std::vector<Example> examples = examples_of(fenced_blocks(reference_lines()));
  // A reference that lost its examples (or a wrong path) must not pass as checked.
  ASSERT_GE(examples.size(), 20u);
  for (const Example& e : examples) check_example(e);
}

// --- tables -------------------------------------------------------------------------------------

std::vector<std::string> cells_of(const std::string& row) {
  std::vector<std::string> cells;
  std::string cell;
  bool in_code = false;
  for (size_t i = 1; i < row.size(); ++i) {
    if (row[i] == '`') in_code = !in_code;
    if (row[i] == '|' && !in_code) {
      const size_t first = cell.find_first_not_of(' ');
      cells.push_back(first == std::string::npos
                          ? ""
                          : cell.substr(first, cell.find_last_not_of(' ') - first + 1));
      cell.clear();
    } else {
      cell += row[i];
    }
  }
  return cells;
}

struct TableRow {
  int line = 0;
  std::string expression;
  std::string result;  // as written: "text" or a number
};

bool is_code(const std::string& cell) {
  return cell.size() >= 2 && cell.front() == '`' && cell.back() == '`';
}

// Rows of every table whose last two columns are "example" and "result", one list per table.
std::vector<std::vector<TableRow>> example_tables(const std::vector<std::string>& lines) {
  std::vector<std::vector<TableRow>> tables;
  for (size_t i = 0; i + 1 < lines.size(); ++i) {
    if (!lines[i].starts_with("|") || (i > 0 && lines[i - 1].starts_with("|"))) continue;
    const std::vector<std::string> head = cells_of(lines[i]);
    if (head.size() < 2 || head[head.size() - 2] != "example" || head.back() != "result") continue;
    std::vector<TableRow> rows;
    for (size_t r = i + 2; r < lines.size() && lines[r].starts_with("|"); ++r) {
      const std::vector<std::string> cells = cells_of(lines[r]);
      const std::string where = "table row at LANGUAGE.md line " + std::to_string(r + 1);
      if (cells.size() != head.size() || !is_code(cells[cells.size() - 2]) ||
          !is_code(cells.back())) {
        ADD_FAILURE() << where << ": example and result must each be one code span";
        continue;
      }
      const std::string& ex = cells[cells.size() - 2];
      const std::string& res = cells.back();
      rows.push_back(
          {static_cast<int>(r + 1), ex.substr(1, ex.size() - 2), res.substr(1, res.size() - 2)});
    }
    tables.push_back(std::move(rows));
  }
  return tables;
}

bool is_text(const std::string& result) {
  return result.size() >= 2 && result.front() == '"' && result.back() == '"';
}

// The statement that prints a row's value between brackets. A string result must come from a
// string expression and a number from a number: the wrong type fails to compile.
std::string print_row(const TableRow& row) {
  if (is_text(row.result)) return "WriteLine \"[\" + (" + row.expression + ") + \"]\"\n";
  return "WriteLine \"[\" + Str$(" + row.expression + ") + \"]\"\n";
}

std::string expected_line(const TableRow& row) {
  if (is_text(row.result)) return "[" + row.result.substr(1, row.result.size() - 2) + "]";
  return "[" + row.result + "]";
}

// Each row runs in a fresh folder after the earlier rows of its table that worked, so that a row
// may use what they made (an array that Split filled, a file that WriteFile wrote) and a broken
// row does not hide the rows after it.
void check_table(const std::vector<TableRow>& rows) {
  std::string before;
  for (const TableRow& row : rows) {
    const std::string name =
        "table row at LANGUAGE.md line " + std::to_string(row.line) + " (" + row.expression + ")";
    CompileSandbox box;
    InFolder here(box.dir());
    const ProcessResult r = box.compile_and_run(before + print_row(row));
    std::string last;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) last = line;
    if (r.exit_code != 0) {
      ADD_FAILURE() << name << ": " << r.err;
      continue;
    }
    EXPECT_EQ(last, expected_line(row)) << name;
    if (last == expected_line(row)) before += print_row(row);
  }
}

TEST(ReferenceTest, EveryTableExampleGivesItsResult) {
  const std::vector<std::vector<TableRow>> tables = example_tables(reference_lines());
  ASSERT_GE(tables.size(), 3u);
  for (const auto& rows : tables) check_table(rows);
}

// The shipped examples, shebang line and all, pass `zrcompiler --check` as the reference tells
// script authors to check theirs. Parse-mode scripts are left out: their blocks are the runner's.
TEST(ReferenceTest, EveryExampleScriptPassesTheCheck) {
  int checked = 0;
  for (const auto& entry : std::filesystem::directory_iterator(SR_EXAMPLES_DIR)) {
    if (entry.path().extension() != ".zr") continue;
    std::ifstream in(entry.path());
    std::string shebang;
    std::getline(in, shebang);
    if (shebang.find(" -p") != std::string::npos) continue;
    SCOPED_TRACE(entry.path().filename().string());
    const ProcessResult r = run_process({SR_COMPILER_PATH, "--check", entry.path().string()});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.exit_code, 0);
    ++checked;
  }
  EXPECT_GE(checked, 6);
}

}  // namespace
}  // namespace sr::test
