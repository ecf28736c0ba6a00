// Include through the runner: the compiler reads a copy of the script in /tmp, but the files a
// script includes are the ones beside the script, never files that someone put in /tmp.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "tests/e2e/runner_sandbox.h"

namespace sr::test {
namespace {

class IncludeTest : public ::testing::Test {
 protected:
  void SetUp() override { sandbox_.use_stand_in_compiler(); }

  RunResult serve(const std::string& name) {
    RunOptions options;
    options.switches = "-w";
    options.env["SCRIPT_FILENAME"] = sandbox_.dir() + "/site/" + name;
    options.cwd = sandbox_.dir() + "/site";
    return sandbox_.run(options);
  }

  std::string script(const std::string& body) {
    return "#!" + sandbox_.runner_path() + " -w\n" + body;
  }

  RunnerSandbox sandbox_;
};

TEST_F(IncludeTest, FilesAreFoundBesideTheScriptAndBesideEachIncludedFile) {
  sandbox_.write_file("site/parts/head.inc",
                      "Include \"words.inc\"\nSub Head()\n  WriteLine Word$()\nEndSub\n");
  sandbox_.write_file("site/parts/words.inc",
                      "Function Word$()\n  Return \"from parts\"\nEndFunction\n");
  sandbox_.write_file("site/page.zr",
                      script("Include \"parts/head.inc\"\nWriteLine \"Content-Type: text/plain\"\n"
                             "WriteLine\nHead()\n"),
                      0755);
  const RunResult r = serve("page.zr");
  EXPECT_EQ(r.out, "Content-Type: text/plain\n\nfrom parts\n");
  EXPECT_EQ(r.err, "");
}

// The compile error page names the file of each error: the script by its file name, an included
// file (through the script's Include line) by its path as the Include wrote it.
TEST_F(IncludeTest, CompileErrorsNameTheScriptAndTheIncludedFile) {
  sandbox_.write_file("site/parts/lib.inc", "Sub S()\n  y = Nope(2)\nEndSub\n");
  sandbox_.write_file("site/broken.zr", script("x = \"a\" + 1\nInclude \"parts/lib.inc\"\n"), 0755);
  const RunResult r = serve("broken.zr");
  const std::string message =
      "Compilation process did not finish correctly. Error: \"broken.zr: Line 2: Type mismatch: "
      "'+' adds integers or joins strings, not a string and an integer\n"
      "broken.zr: Line 3: parts/lib.inc line 2: Unknown function nope\n\".";
  EXPECT_EQ(r.out, "Content-Type: text/html\n\n" + message + "\n");
  EXPECT_EQ(r.err, message + "\n");
}

// Another user plants a file of that name in /tmp, where the runner writes its copy of the
// script: it must not be compiled into this user's page.
TEST_F(IncludeTest, AFilePlantedInTmpIsNeverIncluded) {
  const std::string name = "zr-planted-" + std::to_string(getpid()) + ".inc";
  const std::string planted = "/tmp/" + name;
  sandbox_.write_file("planted-source", "Sub Head()\n  WriteLine \"planted code ran\"\nEndSub\n");
  ASSERT_EQ(rename((sandbox_.dir() + "/planted-source").c_str(), planted.c_str()), 0);
  ASSERT_EQ(chown(planted.c_str(), 12345, 12345), 0);
  sandbox_.write_file("site/page.zr",
                      script("Include \"" + name + "\"\nWriteLine \"Content-Type: text/plain\"\n" +
                             "WriteLine\nHead()\n"),
                      0755);
  const RunResult r = serve("page.zr");
  unlink(planted.c_str());
  EXPECT_EQ(r.out.find("planted code ran"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("page.zr: Line 2: Cannot read the included file " + name), std::string::npos)
      << r.out;
}

}  // namespace
}  // namespace sr::test
