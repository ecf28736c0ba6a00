// What the compiler prints and leaves behind when it refuses a source or its command line.
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/compiler/compile_harness.h"
#include "tests/compiler/run_cases.h"

namespace sr::test {
namespace {

mode_t current_umask() {
  const mode_t mask = umask(0);
  umask(mask);
  return mask;
}

struct ErrorCase {
  const char* name;
  std::string source;  // after the ";" first line
  std::string messages;
};

TEST(CompileErrors, LineNumberedMessages) {
  const std::vector<ErrorCase> cases = {
      {"string into integer", "n = \"a\"\n",
       "Line 2: Type mismatch: n holds an integer (only names ending in $ hold strings), not a "
       "string\n"},
      {"integer into string", "\n\ns$ = 5\n",
       "Line 4: Type mismatch: s$ holds a string (its name ends in $), not an integer; Str$ "
       "turns a number into text\n"},
      {"mixed addition", "WriteLine \"a\" + 1\n",
       "Line 2: Type mismatch: '+' adds integers or joins strings, not a string and an integer\n"},
      {"mixed comparison", "If s$ = 0\nEndIf\n",
       "Line 2: Type mismatch: '=' compares two integers or two strings, not a string and an "
       "integer\n"},
      {"string condition", "While s$\nWend\n",
       "Line 2: Type mismatch: a condition must be an integer, not a string\n"},
      {"string in arithmetic", "n = \"a\" * 2\n",
       "Line 2: Type mismatch: '*' needs integers, not a string and an integer\n"},
      {"negated string", "n = -\"a\"\n",
       "Line 2: Type mismatch: '-' needs an integer, not a string\n"},
      {"not of a string", "n = Not s$\n",
       "Line 2: Type mismatch: 'Not' needs an integer, not a string\n"},
      {"and with a string", "n = 1 And s$\n",
       "Line 2: Type mismatch: 'And' needs integers, not a string\n"},
      {"argument of the wrong type", "n = Len(5)\n",
       "Line 2: Type mismatch: argument 1 of len must be a string, not an integer\n"},
      {"string for loop", "For s$ = 1 To 2\nNext\n",
       "Line 2: Type mismatch: the variable of a For loop must be an integer, not s$ (names "
       "ending in $ hold strings)\n"},
      {"wrong argument count", "s$ = Mid$(\"a\")\n",
       "Line 2: Wrong number of arguments for mid$\n"},
      {"unknown function", "n = Foo(1)\n", "Line 2: Unknown function foo\n"},
      // `name(...)` of such an array would mean either; a plain variable's name may be one's.
      {"built-in names are no array's",
       "Sub s(Left$, Asc(), v$())\nGlobal Val()\nEndSub\nDim UBound(3)\nDim a(1), Split(2)\n",
       "Line 2: asc is the name of a built-in function; an array parameter needs a name of its "
       "own\n"
       "Line 3: val is the name of a built-in function; an array needs a name of its own\n"
       "Line 5: ubound is the name of a function; an array needs a name of its own\n"
       "Line 6: split is the name of a function; an array needs a name of its own\n"},
      {"maps: keys are strings, values of the name's type, names their own",
       "m{1} = 2\nm{\"a\"} = \"x\"\nDim a(1)\nn = a{\"k\"}\nLen{\"k\"} = 1\n"
       "n = KeyCount(a())\nn = HasKey(m$)\nJsonSet(m{}, \"k\", \"1\")\nn = m{}\n",
       "Line 2: Type mismatch: a map key must be a string, not an integer\n"
       "Line 3: Type mismatch: m holds integers (its name has no $), not a string\n"
       "Line 5: a is an array: a map needs a name of its own\n"
       "Line 6: len is the name of a built-in function; a map needs a name of its own\n"
       "Line 7: Type mismatch: argument 1 of keycount must be a map, written like ages{} or "
       "names${}\n"
       "Line 8: Type mismatch: argument 1 of haskey must be a map, written like ages{} or "
       "names${}\n"
       "Line 9: Type mismatch: argument 1 of jsonset must be a map of strings, not a map of "
       "integers\n"
       "Line 10: A value of m needs a key: m{key$}\n"},
      {"For Each", "For Each k In m{}\nNext\nFor Each k$ m{}\nNext\nFor Each k$ In a()\nNext\n",
       "Line 2: For Each needs a string variable for the keys: For Each key$ In map{}\n"
       "Line 4: Expected In after For Each k$\n"
       "Line 6: For Each goes through a map, written like ages{} or names${}\n"},
      {"maps as parameters", "Sub s(m{}, t${)\nEndSub\nSub u(m{})\nEndSub\nu(m${})\nu(a())\n",
       "Line 2: A map parameter is written t${}\n"
       "Line 6: Type mismatch: argument 1 of u (m{}) must be a map of integers, not a map of "
       "strings\n"
       "Line 7: Type mismatch: argument 1 of u must be a map, written like ages{} or names${}\n"},
      {"unknown constant", "s$ = #NL$\n", "Line 2: Unknown constant #nl$\n"},
      {"open string", "s$ = \"abc\n", "Line 2: String literal without closing quote\n"},
      {"number too large", "n = 9223372036854775808\n", "Line 2: Number too large\n"},
      {"trailing tokens", "WriteLine 1 2\n",
       "Line 2: Unexpected number 2 at the end of the statement\n"},
      {"several errors, one line each, in order", "If 1\nn = \"x\"\nWend\nWriteLine 1 +\n",
       "Line 2: If without EndIf\nLine 3: Type mismatch: n holds an integer (only names ending in "
       "$ hold strings), not a string\nLine 4: Wend without While\n"
       "Line 5: Expected a value but found end of line\n"},
      {"unclosed loops", "While 1\nFor i = 1 To 2\n",
       "Line 2: While without Wend\n"
       "Line 3: For without Next\n"},
      {"block closers out of place", "EndIf\nNext\nElse\nBreak\n",
       "Line 2: EndIf without If\nLine 3: Next without For\nLine 4: Else without If\n"
       "Line 5: Break outside a loop\n"},
      {"next names another variable", "For i = 1 To 2\nNext j\n",
       "Line 3: Next does not match For i\n"},
      {"lock blocks out of place",
       "EndLock\nIf 1\nLock \"a\"\nEndIf\nEndLock\nLock 5\nEndLock\nLock\nEndLock\nLock \"b\"\n",
       "Line 2: EndLock without Lock\nLine 3: If without EndIf\nLine 5: EndIf without If\n"
       "Line 7: Type mismatch: the lock file of Lock must be a string, not an integer\n"
       "Line 9: Lock needs the path of its lock file\nLine 11: Lock without EndLock\n"},
      // A lock taken on one side of a procedure's edge would be let go on the other, or never.
      {"lock blocks across a procedure's edge",
       "Sub S()\nLock \"a\"\nEndSub\nLock \"a\"\nFunction F()\nEndFunction\nEndLock\n",
       "Line 3: Lock without EndLock\n"
       "Line 6: Function belongs at the top level, not inside a block\n"
       "Line 7: EndFunction without Function\n"},
      {"missing parenthesis", "n = (1 + 2\n", "Line 2: Missing ')'\n"},
      {"keyword as a value", "n = To\n", "Line 2: Expected a value but found 'to'\n"},
      {"stray character", "n = 1 & 2\n", "Line 2: Unexpected character '&'\n"},
      // A zero byte in a message would cut the output short and lose the errors after it.
      {"zero bytes",
       "n = 1 " + std::string(1, '\0') + "\nWriteLine 1 \"a" + std::string(1, '\0') +
           "b\"\nEndIf\n",
       "Line 2: Unexpected character '\\x00'\n"
       "Line 3: Unexpected string \"a\\x00b\" at the end of the statement\n"
       "Line 4: EndIf without If\n"},
  };
  CompileSandbox box;
  for (const ErrorCase& c : cases) {
    SCOPED_TRACE(c.name);
    ProcessResult r = box.compile(";shebang\n" + c.source);
    EXPECT_EQ(r.out, c.messages);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(box.files(), std::vector<std::string>{"src.zr"}) << "no executable is written";
  }
}

TEST(CompileErrors, FailedCompileKeepsTheOlderExecutable) {
  CompileSandbox box;
  ASSERT_EQ(box.compile(";\nWriteLine \"old\"\n").exit_code, 0);
  ProcessResult failed = box.compile(";\nWriteLine \"new\" + 1\n");
  EXPECT_EQ(failed.out,
            "Line 2: Type mismatch: '+' adds integers or joins strings, not a string and an "
            "integer\n");
  EXPECT_EQ(box.files(), (std::vector<std::string>{"prog", "src.zr"}));
  EXPECT_EQ(run_process({box.path("prog")}).out, "old\n");
}

TEST(CompileErrors, SuccessReplacesTheExecutableWhole) {
  CompileSandbox box;
  ASSERT_EQ(box.compile(";\nWriteLine \"old\"\n").exit_code, 0);
  // A running program keeps the file it started from; the new one arrives under the same name.
  std::filesystem::create_hard_link(box.path("prog"), box.path("running"));
  ProcessResult r = box.compile(";\nWriteLine \"new\"\n");
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(run_process({box.path("running")}).out, "old\n");
  EXPECT_EQ(run_process({box.path("prog")}).out, "new\n");
  struct stat st {};
  ASSERT_EQ(stat(box.path("prog").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0777u & ~current_umask());
  EXPECT_EQ(box.files(), (std::vector<std::string>{"prog", "running", "src.zr"}));
}

// The executable holds the program's code and texts: a caller's umask decides who may read it.
TEST(CompileErrors, ExecutableModeFollowsTheUmask) {
  for (mode_t mask : {mode_t{022}, mode_t{077}, mode_t{027}}) {
    SCOPED_TRACE(mask);
    CompileSandbox box;
    const mode_t saved = umask(mask);
    ProcessResult r = box.compile(";\nWriteLine \"hi\"\n");
    umask(saved);
    ASSERT_EQ(r.exit_code, 0) << r.out;
    struct stat st {};
    ASSERT_EQ(stat(box.path("prog").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0777u & ~mask);
  }
}

TEST(CompileErrors, CommandLineAndFiles) {
  CompileSandbox box;
  box.write_file("ok.zr", ";\nWriteLine 1\n");
  box.write_file("utf16.zr", std::string("\xFF\xFE;\0\n\0", 6));
  const std::string exe = box.path("out");
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"unknown option",
       {"--quiet", "--fast", "--executable", exe, box.path("ok.zr")},
       "Unknown option: --fast (zrcompiler --help lists the options)\n"},
      {"no executable named",
       {"--quiet", box.path("ok.zr")},
       "Usage: zrcompiler [--quiet] --executable EXE SRC, or zrcompiler --check SRC\n"},
      {"missing source",
       {"--quiet", "--executable", exe, box.path("none.zr")},
       "Cannot read the source file " + box.path("none.zr") + "\n"},
      {"source is a folder",
       {"--quiet", "--executable", exe, box.dir()},
       "Cannot read the source file " + box.dir() + "\n"},
      {"16-bit source",
       {"--quiet", "--executable", exe, box.path("utf16.zr")},
       "Line 1: UTF-16 sources are not supported; save the script as UTF-8 or ASCII\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> argv = {SR_COMPILER_PATH};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    ProcessResult r = run_process(argv);
    EXPECT_EQ(r.out, c.message);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_FALSE(box.exists("out"));
  }
}

TEST(CompileErrors, MissingStub) {
  CompileSandbox box;
  // A compiler copied away from its stub has nothing to build executables from.
  std::filesystem::copy_file(SR_COMPILER_PATH, box.path("zrcompiler"));
  std::filesystem::permissions(box.path("zrcompiler"), std::filesystem::perms::owner_all);
  box.write_file("ok.zr", ";\nWriteLine 1\n");
  ProcessResult r = run_process(
      {box.path("zrcompiler"), "--quiet", "--executable", box.path("out"), box.path("ok.zr")});
  EXPECT_EQ(r.out, "Cannot read the stub " + box.path("zrstub") + "\n");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_FALSE(box.exists("out"));
}

TEST(CompileErrors, DamagedExecutableIsRefused) {
  CompileSandbox box;
  ASSERT_EQ(box.compile(";\nWriteLine \"x\"\n").exit_code, 0);
  std::string bytes = box.read_file("prog");
  // Cut into the program: the trailer now names bytes that are not a program.
  std::string damaged = bytes.substr(0, bytes.size() - 20) + bytes.substr(bytes.size() - 16);
  box.write_file("damaged", damaged);
  std::filesystem::permissions(box.path("damaged"), std::filesystem::perms::owner_all);
  ProcessResult r = run_process({box.path("damaged")});
  EXPECT_EQ(r.out, kFailedPage);
  EXPECT_EQ(r.err, "Runtime error at line 0: this executable holds no valid program\n");
  EXPECT_EQ(r.exit_code, 1);
  // Started resident, its standard output is no request's page: nothing is written there.
  r = run_process(
      {"/bin/bash", "-c", "exec -a zr-resident \"$0\" 3 3</dev/null", box.path("damaged")});
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "Runtime error at line 0: this executable holds no valid program\n");
  EXPECT_EQ(r.exit_code, 1);
}

}  // namespace
}  // namespace sr::test
