// Parse mode end to end: the temporary source that the compiler receives, byte for byte.
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/runner_sandbox.h"

namespace sr::test {
namespace {

constexpr char kShebang[] = "#!/usr/local/lib/scriptrunner/scriptrunner -w -p";
constexpr char kParseSwitches[] = "-w -p";
constexpr char kPageHeader[] = "Content-Type: text/html\n\n";
constexpr char kUnreadable[] = "The source file cannot be read for parsing.";
constexpr char kNotCreated[] = "The source file cannot be created.";

// A script whose first line is the shebang line, with LF line ends.
std::string script(const std::string& body) {
  return std::string(kShebang) + "\n" + body;
}
// What the compiler receives for script(body) when `rest` is the expansion of `body`.
std::string source(const std::string& rest) {
  return ";" + std::string(kShebang) + "\n" + rest;
}

// Each byte as one little-endian 16-bit unit, behind the FF FE mark.
std::string utf16le(const std::string& bytes) {
  std::string out = "\xFF\xFE";
  for (char c : bytes) out += std::string{c, '\0'};
  return out;
}

struct SourceCase {
  const char* name;
  std::string script;
  std::string expected_source;
};

class HeredocTest : public ::testing::Test {
 protected:
  // Writes the script under its own name (so that every row compiles), runs it in parse mode and
  // returns what the compiler was given.
  std::string compiled_source(const std::string& script_bytes) {
    const std::string path =
        sandbox_.write_file("s" + std::to_string(++scripts_) + ".cgi", script_bytes);
    const RunResult result = sandbox_.run_script(path, kParseSwitches);
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(sandbox_.compile_count(), scripts_) << result.err;
    return sandbox_.compiler_source();
  }

  void expect_sources(const std::vector<SourceCase>& cases) {
    for (const SourceCase& row : cases) {
      SCOPED_TRACE(row.name);
      EXPECT_EQ(compiled_source(row.script), row.expected_source);
    }
  }

  // Runs the script in parse mode and expects the run to end with `message`.
  void expect_failure(const std::string& script_path, const std::string& message,
                      const std::string& switches = kParseSwitches) {
    RunOptions options;
    options.switches = switches;
    options.env["SCRIPT_FILENAME"] = script_path;
    options.timeout_ms = 20000;  // hang guard only
    const RunResult result = sandbox_.run(options);
    EXPECT_EQ(result.err, message + "\n");
    const bool warn = switches.find("-w") != std::string::npos;
    EXPECT_EQ(result.out, warn ? kPageHeader + message + "\n" : "");
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(sandbox_.compile_count(), 0);
  }

  RunnerSandbox sandbox_;
  int scripts_ = 0;
};

TEST_F(HeredocTest, BlockKinds) {
  expect_sources({
      {"lf join", script("text$ = \"<<here\nHello\nWorld\n<<\"\ncount = 2\n"),
       source("text$ = \"\"+#LF$+\"Hello\"+#LF$+\"World\"\ncount = 2\n")},
      {"plain", script("s$ = \"<<\nabc\ndef\n<<\"\n"), source("s$ = \"abcdef\"\n")},
      {"crlf join", script("t$ = \"<<crlf\na\nb\n<<\"\n"),
       source("t$ = \"\"+#CRLF$+\"a\"+#CRLF$+\"b\"\n")},
      {"empty block", script("e$ = \"<<here\n<<\"\n"), source("e$ = \"\"\n")},
      {"quotes and empty lines copied as they are", script("q$ = \"<<lf\nsay \"hi\"\n\n<<\"\n"),
       source("q$ = \"\"+#LF$+\"say \"hi\"\"+#LF$+\"\"\n")},
      {"two blocks and ordinary lines",
       script("a = 1\nx$ = \"<<\nx\n<<\"\ny$ = \"<<multi\ny\n<<\"\nb = 2\n"),
       source("a = 1\nx$ = \"x\"\ny$ = \"\"+#LF$+\"y\"\nb = 2\n")},
  });
}

TEST_F(HeredocTest, KeywordsInAnyCase) {
  const std::string joined = source("t$ = \"\"+#LF$+\"x\"\n");
  expect_sources({
      {"HERE", script("t$ = \"<<HERE\nx\n<<\"\n"), joined},
      {"Here", script("t$ = \"<<Here\nx\n<<\"\n"), joined},
      {"MultiLine", script("t$ = \"<<MultiLine\nx\n<<\"\n"), joined},
      {"LF", script("t$ = \"<<LF\nx\n<<\"\n"), joined},
      {"CrLf", script("t$ = \"<<CrLf\nx\n<<\"\n"), source("t$ = \"\"+#CRLF$+\"x\"\n")},
      {"another word is an ordinary line", script("a$ = \"<<lines\"\nb$ = \"<<x\n"),
       source("a$ = \"<<lines\"\nb$ = \"<<x\n")},
  });
}

TEST_F(HeredocTest, WhereBlocksOpenAndClose) {
  expect_sources({
      {"the first line is never an opener", "x$ = \"<<here\nabc\n<<\"\n",
       ";x$ = \"<<here\nabc\n<<\"\n"},
      {"a closing line outside a block is ordinary", script("  <<\" + a$\n"),
       source("  <<\" + a$\n")},
      {"a bare << opens a plain block", script("<<\nabc\n \t<<\n"), source("abc\n")},
      {"only the last << of the opening line", script("a$ = \"<<\" + \"<<here\nx\n<<\"\n"),
       source("a$ = \"<<\" + \"\"+#LF$+\"x\"\n")},
      {"only the first << of the closing line", script("a$ = \"<<\nx\n\t <<\" + \"<<\"\n"),
       source("a$ = \"x\" + \"<<\"\n")},
      {"a block line with << inside is content", script("a$ = \"<<here\n1 << 2\n<<\"\n"),
       source("a$ = \"\"+#LF$+\"1 << 2\"\n")},
  });
}

// A block that meets the end of the script ends with the last line read: its text after its first
// "<<" (all of it from the second character on when it holds none) ends the line. When the
// opening line was the last one, that is the opening line itself.
TEST_F(HeredocTest, BlockOpenAtTheEndOfTheScript) {
  expect_sources({
      {"opening line last", script("a$ = \"<<here\n"), source("a$ = \"here\n")},
      {"opening line last, no line end", script("a$ = \"<<here"), source("a$ = \"here\n")},
      {"opening line with two << last", script("a$ = \"<<\" + \"<<here\n"),
       source("a$ = \"<<\" + \"\" + \"<<here\n")},
      {"block line last", script("t$ = \"<<here\nHello\nWorld\n"),
       source("t$ = \"\"+#LF$+\"Hello\"+#LF$+\"Worldorld\n")},
      {"plain block line with << last", script("x = <<\n1 << 23\n"), source("x = 1 << 23 23\n")},
  });
}

TEST_F(HeredocTest, LineEndsAndStringFormats) {
  expect_sources({
      {"empty script", "", ";\n"},
      {"CR LF line ends", std::string(kShebang) + "\r\nt$ = \"<<here\r\na\r\n<<\"\r\nb = 1\r\n",
       source("t$ = \"\"+#LF$+\"a\"\nb = 1\n")},
      {"UTF-8 with its mark", "\xEF\xBB\xBF" + script("s$ = \"<<here\ncaf\xC3\xA9\n<<\"\n"),
       "\xEF\xBB\xBF" + source("s$ = \"\"+#LF$+\"caf\xC3\xA9\"\n")},
      {"UTF-8 mark only", "\xEF\xBB\xBF", "\xEF\xBB\xBF;\n"},
      {"UTF-16LE", utf16le(script("s$ = \"<<\nab\n<<\"\n")), utf16le(source("s$ = \"ab\"\n"))},
  });
}

TEST_F(HeredocTest, IncludeFiles) {
  sandbox_.write_file("header.html", "<h1>\nTitle\n</h1>\n");
  sandbox_.write_file("a.txt", "1\n2\n");
  sandbox_.write_file("one.txt", "3");
  sandbox_.write_file("empty.txt", "");
  sandbox_.write_file("inc/part.txt", "p\n");
  std::filesystem::create_directory(sandbox_.dir() + "/incdir");
  sandbox_.write_file("marked.txt",
                      "\xEF\xBB\xBF"
                      "caf\xC3\xA9\n");
  const std::string header = "<h1>\"+#LF$+\"Title\"+#LF$+\"</h1>";
  expect_sources({
      {"header", script("page$ = \"<<include\nheader.html\n<<\" + tail$\n"),
       source("page$ = \"" + header + "\" + tail$\n")},
      {"blanks around the name", script("page$ = \"<<INCLUDE\n  header.html  \n<<\"\n"),
       source("page$ = \"" + header + "\"\n")},
      {"two files, the second of one line", script("x$ = \"<<file\na.txt\none.txt\n<<\"\n"),
       source("x$ = \"1\"+#LF$+\"23\"\n")},
      {"empty file", script("x$ = \"<<include\nempty.txt\n<<\"\n"), source("x$ = \"\"\n")},
      {"a leading / stays in the script's folder",
       script("x$ = \"<<include\n/inc/part.txt\n<<\"\n"), source("x$ = \"p\"\n")},
      {"read in its own format, written in the script's",
       script("x$ = \"<<include\nmarked.txt\n<<\"\n"), source("x$ = \"caf\xE9\"\n")},
      // A blank line names the script's folder; a folder has no lines to contribute.
      {"empty line", script("x$ = \"<<include\n\none.txt\n<<\"\n"), source("x$ = \"3\"\n")},
      {"line of blanks", script("x$ = \"<<file\none.txt\n   \n<<\"\n"), source("x$ = \"3\"\n")},
      {"a folder", script("x$ = \"<<include\nincdir\none.txt\n<<\"\n"), source("x$ = \"3\"\n")},
  });
}

TEST_F(HeredocTest, IncludeFileThatCannotBeOpened) {
  // Neither may block the run: a FIFO without a writer, a device that never ends.
  ASSERT_EQ(mkfifo((sandbox_.dir() + "/pipe.txt").c_str(), 0644), 0);
  std::filesystem::create_symlink("/dev/zero", sandbox_.dir() + "/zero.txt");
  const std::string self = sandbox_.dir() + "/self.cgi";
  const std::string own_source = RunnerSandbox::cache_path(self) + ".zr";
  // Long enough that the written part of the temporary source is on disk when it is included.
  const std::string filler = "; " + std::string(500, 'f') + "\n";
  std::string self_body;
  for (int i = 0; i < 20; ++i) self_body += filler;
  self_body +=
      "x$ = \"<<include\n../" + std::filesystem::path(own_source).filename().string() + "\n<<\"\n";
  struct Row {
    const char* name;
    std::string path;
    std::string message;
    std::string switches;
  };
  const std::vector<Row> rows = {
      {"missing file",
       sandbox_.write_file("m.cgi", script("x$ = \"<<include\nmissing.txt\n<<\"\n")),
       "Could not open 'missing.txt' as include file.", kParseSwitches},
      {"missing file, name with blanks, without -w",
       sandbox_.write_file("b.cgi", script("x$ = \"<<file\n  missing.txt \n<<\"\n")),
       "Could not open '  missing.txt ' as include file.", "-p"},
      {"a FIFO", sandbox_.write_file("f.cgi", script("x$ = \"<<include\npipe.txt\n<<\"\n")),
       "Could not open 'pipe.txt' as include file.", kParseSwitches},
      {"a device", sandbox_.write_file("z.cgi", script("x$ = \"<<include\nzero.txt\n<<\"\n")),
       "Could not open 'zero.txt' as include file.", kParseSwitches},
      {"the temporary source being written", sandbox_.write_file("self.cgi", script(self_body)),
       "Could not open '../" + std::filesystem::path(own_source).filename().string() +
           "' as include file.",
       kParseSwitches},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    expect_failure(row.path, row.message, row.switches);
  }
}

TEST_F(HeredocTest, ScriptThatIsNoRegularFile) {
  const std::string folder = sandbox_.dir() + "/folder.cgi";
  std::filesystem::create_directory(folder);
  const std::string pipe = sandbox_.dir() + "/pipe.cgi";
  ASSERT_EQ(mkfifo(pipe.c_str(), 0644), 0);
  for (const std::string& path : {folder, pipe}) {
    SCOPED_TRACE(path);
    expect_failure(path, kUnreadable);
  }
}

// What stands at the temporary source's old name in /tmp and is no file of ours stays as it is,
// unwritten; the source is written in the build's private folder, so nothing is blocked.
TEST_F(HeredocTest, PlantedTemporarySourceNameIsLeftAlone) {
  const std::string victim = sandbox_.write_file("victim.txt", "untouched\n");
  struct Row {
    const char* name;
    std::function<void(const std::string& source)> plant;
  } rows[] = {
      {"folder", [](const std::string& source) { std::filesystem::create_directory(source); }},
      {"link", [&](const std::string& source) { std::filesystem::create_symlink(victim, source); }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const int before = sandbox_.compile_count();
    const std::string path =
        sandbox_.write_file("s" + std::to_string(++scripts_) + ".cgi", script("echo ok\n"));
    const std::string exe = RunnerSandbox::cache_path(path);
    row.plant(exe + ".zr");
    const RunResult result = sandbox_.run_script(path, kParseSwitches);
    EXPECT_EQ(sandbox_.compile_count(), before + 1);
    EXPECT_EQ(result.out, "ok\n");
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::symlink_status(exe + ".zr")));
  }
  EXPECT_EQ(RunnerSandbox::read_file(victim), "untouched\n");
}

}  // namespace
}  // namespace sr::test
