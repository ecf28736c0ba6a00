// Include, run-time errors on the page under ParamWarn=1, and the compiler's --check, --help
// and --version.
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/compiler/compile_harness.h"
#include "tests/compiler/run_cases.h"

namespace sr::test {
namespace {

const std::string kCompiler = SR_COMPILER_PATH;

TEST(Include, NestedRepeatedAndRelativeToTheIncludingFile) {
  CompileSandbox box;
  std::filesystem::create_directories(box.path("lib/deep"));
  box.write_file("lib/helpers.inc",
                 "Include \"deep/twice.inc\"\nSub Header(t$)\n WriteLine \"<h1>\" + Twice$(t$) "
                 "+ \"</h1>\"\nEndSub\n");
  // Relative to lib/deep/, so "../helpers.inc" is the file above: already included, skipped.
  box.write_file("lib/deep/twice.inc",
                 "Include \"../helpers.inc\"\nFunction Twice$(s$)\n Return s$ + s$\nEndFunction\n"
                 "greeting$ = \"hi\"\n");
  ProcessResult r = box.compile_and_run(
      ";\nInclude \"lib/helpers.inc\"\nInclude \"lib/deep/twice.inc\"\nInclude \"src.zr\"\n"
      "Header(greeting$)\n");
  EXPECT_EQ(r.out, "<h1>hihi</h1>\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.exit_code, 0);
}

TEST(Include, RunTimeErrorsNameTheIncludeLineAndThePlaceInTheFile) {
  CompileSandbox box;
  box.write_file("outer.inc", "Include \"inner.inc\"\nSub Outer(n)\n Inner(n)\nEndSub\n");
  box.write_file("inner.inc", "Sub Inner(n)\n WriteLine 10 / n\nEndSub\n");
  ProcessResult r = box.compile_and_run(";\nInclude \"outer.inc\"\nOuter(5)\nOuter(0)\n");
  EXPECT_EQ(r.out, kFailedPage);
  EXPECT_EQ(r.err,
            "Runtime error at line 2: outer.inc line 1: inner.inc line 2: Division by zero\n");
  EXPECT_EQ(r.exit_code, 1);
  ASSERT_EQ(box.compile(";\nInclude \"outer.inc\"\nOuter(1)\nWriteLine 1 / 0\n").exit_code, 0);
  EXPECT_EQ(run_process({box.path("prog")}).err, "Runtime error at line 4: Division by zero\n")
      << "the main program's lines after an Include keep their numbers";
}

TEST(Include, ErrorsNameTheIncludeLineAndThePlaceInTheFile) {
  struct Case {
    const char* name;
    std::string main;
    std::string messages;
  };
  const std::vector<Case> cases = {
      {"missing file", ";\n\nInclude \"none.inc\"\n",
       "Line 3: Cannot read the included file none.inc\n"},
      {"control bytes in the name are shown, not printed", ";\nInclude \"a\x01\"\n",
       "Line 2: Cannot read the included file a\\x01\n"},
      {"a folder", ";\nInclude \"sub\"\n", "Line 2: Cannot read the included file sub\n"},
      {"malformed include lines", ";\nInclude none.inc\nInclude \"\"\nInclude \"a\" \"b\"\n",
       "Line 2: Include needs one file name in double quotes\n"
       "Line 3: Include needs one file name in double quotes\n"
       "Line 4: Include needs one file name in double quotes\n"},
      {"errors inside, in their order", ";\nWriteLine 1\nInclude \"bad.inc\"\n",
       "Line 3: bad.inc line 1: If without EndIf\n"
       "Line 3: bad.inc line 2: Type mismatch: x holds an integer (only names ending in $ "
       "hold strings), not a string\n"},
      {"an error two files deep", ";\nInclude \"sub/outer.inc\"\n",
       "Line 2: sub/outer.inc line 2: inner.inc line 1: Unknown statement 'print'\n"
       "Line 2: sub/outer.inc line 3: Cannot read the included file gone.inc\n"},
      {"include inside a block", ";\nIf 1\nInclude \"ok.inc\"\nEndIf\n",
       "Line 3: Include belongs at the top level, not inside If\n"},
      {"a block the included file leaves open does not swallow the main program",
       ";\nInclude \"open.inc\"\nWriteLine 1\n", "Line 2: open.inc line 1: While without Wend\n"},
  };
  CompileSandbox box;
  std::filesystem::create_directories(box.path("sub"));
  box.write_file("bad.inc", "If 1\nx = \"s\"\n");
  box.write_file("sub/outer.inc", "n = 1\nInclude \"inner.inc\"\nInclude \"gone.inc\"\n");
  box.write_file("sub/inner.inc", "print 1\n");
  box.write_file("ok.inc", "n = 1\n");
  box.write_file("open.inc", "While 1\n");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ProcessResult r = box.compile(c.main);
    EXPECT_EQ(r.out, c.messages);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_FALSE(box.exists("prog"));
  }
}

// Under the runner the source is a copy in a folder that anyone can write to; only the script's
// own folder (an absolute SCRIPT_FILENAME) may supply its includes, never the copy's folder.
TEST(Include, UnderTheRunnerOnlyTheScriptsOwnFolderIsSearched) {
  struct Case {
    const char* name;
    std::map<std::string, std::string> env;
    std::string include;  // "" for "layout.inc"
    std::string out;      // the page, or the compiler's message
  };
  CompileSandbox box;
  std::filesystem::create_directories(box.path("site"));
  std::filesystem::create_directories(box.path("copy"));
  box.write_file("site/layout.inc", "WriteLine \"site\"\n");
  box.write_file("copy/layout.inc", "WriteLine \"planted\"\n");
  const std::string runner = "ZR_Interpreter_Version";
  const std::string refused =
      "Line 2: Include \"layout.inc\" needs the script's own path (SCRIPT_FILENAME) to be "
      "found; give an absolute path or set SCRIPT_FILENAME\n";
  const std::vector<Case> cases = {
      {"absolute script path",
       {{runner, "150"}, {"SCRIPT_FILENAME", box.path("site/p.zr")}},
       "",
       "site\n"},
      {"relative script path", {{runner, "150"}, {"SCRIPT_FILENAME", "site/p.zr"}}, "", refused},
      {"no script path", {{runner, "150"}}, "", refused},
      {"an absolute Include needs no script path",
       {{runner, "150"}},
       box.path("site/layout.inc"),
       "site\n"},
      {"outside the runner, the source's folder",
       {{"SCRIPT_FILENAME", "site/p.zr"}},
       "",
       "planted\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(box.path("prog"));
    const std::string include = c.include.empty() ? "layout.inc" : c.include;
    box.write_file("copy/src.zr", ";\nInclude \"" + include + "\"\n");
    ProcessResult r = run_process(
        {kCompiler, "--quiet", "--executable", box.path("prog"), box.path("copy/src.zr")}, c.env);
    if (r.exit_code == 0) r = run_process({box.path("prog")});
    EXPECT_EQ(r.out, c.out);
  }
  box.write_file("copy/src.zr", ";\nInclude \"layout.inc\"\n");
  EXPECT_EQ(run_process({kCompiler, "--check", box.path("copy/src.zr")}).exit_code, 0);
}

TEST(PageErrors, ShownOnThePageUnderParamWarn) {
  struct Case {
    const char* name;
    std::string source;
    std::map<std::string, std::string> env;
    std::string out;
  };
  const std::string before = ";\nn = 0\nWriteLine 1 / n\n";
  const std::string after =
      ";\nWrite \"Content-Type: text/plain\" + #LF$ + #LF$ + \"partial\"\nFlush\nn = 0\n"
      "WriteLine 1 / n\n";
  const std::string unsent =
      ";\nWrite \"Content-Type: text/plain\" + #LF$ + #LF$ + \"partial\"\nn = 0\nWriteLine 1 / n\n";
  const std::string kPage500 = "Status: 500 Internal Server Error\nContent-Type: text/html\n\n";
  const std::vector<Case> cases = {
      {"before any output a 500 header comes first",
       before,
       {{"ZR_Interpreter_ParamWarn", "1"}},
       kPage500 + "<p>Runtime error at line 3: Division by zero</p>\n"},
      {"after output was sent the line follows it",
       after,
       {{"ZR_Interpreter_ParamWarn", "1"}},
       "Content-Type: text/plain\n\npartial<p>Runtime error at line 5: Division by zero</p>\n"},
      {"output not yet sent is dropped for the 500 page",
       unsent,
       {{"ZR_Interpreter_ParamWarn", "1"}},
       kPage500 + "<p>Runtime error at line 4: Division by zero</p>\n"},
      {"only for the value 1", before, {{"ZR_Interpreter_ParamWarn", "0"}}, kFailedPage},
      {"not without the variable", after, {}, "Content-Type: text/plain\n\npartial"},
      {"the place in an included file is escaped",
       ";\nInclude \"a<&>.inc\"\n",
       {{"ZR_Interpreter_ParamWarn", "1"}},
       kPage500 + "<p>Runtime error at line 2: a&lt;&amp;&gt;.inc line 2: Index "
                  "out of range</p>\n"},
      {"after a flush the header is not sent again",
       ";\nWrite \"x\"\nFlush\nEnd 1 / 0\n",
       {{"ZR_Interpreter_ParamWarn", "1"}},
       "x<p>Runtime error at line 4: Division by zero</p>\n"},
  };
  CompileSandbox box;
  box.write_file("a<&>.inc", "Dim a(1)\nn = a(2)\n");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(box.compile(c.source).exit_code, 0);
    ProcessResult r = run_process({box.path("prog")}, c.env);
    EXPECT_EQ(r.out, c.out);
    EXPECT_NE(r.err.find("Runtime error at line"), std::string::npos) << r.err;
    EXPECT_EQ(r.exit_code, 1);
  }
}

TEST(CompilerModes, CheckHelpAndVersion) {
  CompileSandbox box;
  box.write_file("good.zr", ";\nInclude \"lib.inc\"\nWriteLine F()\n");
  box.write_file("lib.inc", "Function F()\n Return 1\nEndFunction\n");
  box.write_file("bad.zr", ";\nWriteLine \"a\" - 1\nprint\n");
  ProcessResult good = run_process({kCompiler, "--check", box.path("good.zr")});
  EXPECT_EQ(good.out, "");
  EXPECT_EQ(good.err, "");
  EXPECT_EQ(good.exit_code, 0);
  const std::string page = box.path("page.zr");
  box.write_file("page.zr", "#!/nowhere/scriptrunner -w\nWriteLine 1\n");
  ProcessResult unrunnable = run_process({kCompiler, "--check", page});
  EXPECT_EQ(unrunnable.err, page +
                                ": Line 1: warning: the runner named here, /nowhere/scriptrunner, "
                                "cannot be started (No such file or directory); a web server "
                                "reports such a page as missing\n");
  EXPECT_EQ(unrunnable.exit_code, 0);
  box.write_file("page.zr", "#!/bin/sh\nWriteLine 1\n");
  EXPECT_EQ(run_process({kCompiler, "--check", page}).err, "");
  ProcessResult bad = run_process({kCompiler, "--check", box.path("bad.zr")});
  const std::string bad_name = box.path("bad.zr");
  EXPECT_EQ(bad.out,
            bad_name +
                ": Line 2: Type mismatch: '-' needs integers, not a string and an integer\n" +
                bad_name + ": Line 3: Unknown statement 'print'\n");
  EXPECT_EQ(bad.exit_code, 1);
  EXPECT_EQ(box.files(), (std::vector<std::string>{"bad.zr", "good.zr", "lib.inc", "page.zr"}))
      << "--check writes nothing";
  ProcessResult help = run_process({kCompiler, "--help"});
  EXPECT_NE(help.out.find("--check SRC"), std::string::npos);
  EXPECT_EQ(help.exit_code, 0);
  ProcessResult version = run_process({kCompiler, "--version"});
  EXPECT_TRUE(version.out.starts_with("zrcompiler ")) << version.out;
  EXPECT_EQ(version.exit_code, 0);
  ProcessResult both =
      run_process({kCompiler, "--check", "--executable", box.path("x"), box.path("good.zr")});
  EXPECT_EQ(both.exit_code, 1);
  EXPECT_FALSE(box.exists("x"));
}

}  // namespace
}  // namespace sr::test
