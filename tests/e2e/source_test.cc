// The temporary source that the compiler gets: the script with ";" over its first character.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/e2e/runner_sandbox.h"

namespace sr::test {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

TEST(Source, FirstCharacterAfterAnyByteOrderMarkBecomesASemicolon) {
  struct Row {
    const char* name;
    std::string script;
    std::string source;
  } rows[] = {
      {"shebang line", "#!/srv/scriptrunner -w\necho a\n", ";!/srv/scriptrunner -w\necho a\n"},
      {"no shebang line", "echo a\necho b\n", ";cho a\necho b\n"},
      {"CRLF, zero byte and high bytes kept", "#!/x\r\na\0b\xff\r\n"s, ";!/x\r\na\0b\xff\r\n"s},
      {"no line end at all", "x", ";"},
      {"empty script", "", ";"},
      {"UTF-8 mark", "\xEF\xBB\xBF#!/x\necho a\n", "\xEF\xBB\xBF;!/x\necho a\n"},
      {"UTF-8 mark only", "\xEF\xBB\xBF", "\xEF\xBB\xBF;"},
      {"UTF-16LE mark", "\xFF\xFE#\0!\0/\0\n\0"s, "\xFF\xFE;\0!\0/\0\n\0"s},
      {"UTF-16LE, non-ASCII first unit", "\xFF\xFE\xAC\x20x\0"s, "\xFF\xFE;\0x\0"s},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    RunnerSandbox sandbox;
    std::string script = sandbox.write_file("s.cgi", row.script);
    RunResult result = sandbox.run_script(script);
    EXPECT_EQ(sandbox.compile_count(), 1);
    EXPECT_EQ(sandbox.compiler_source(), row.source);
    EXPECT_EQ(RunnerSandbox::read_file(script), row.script) << "the script itself is untouched";
    EXPECT_EQ(result.exit_code, 0);
  }
}

TEST(Source, DeletedAfterANormalRunAndAfterAFailedCompile) {
  RunnerSandbox sandbox;
  std::string script = sandbox.write_script("s.cgi", "echo a\n");
  std::string source = RunnerSandbox::cache_path(script) + ".zr";
  EXPECT_EQ(sandbox.run_script(script).out, "a\n");
  EXPECT_FALSE(fs::exists(source));

  sandbox.set_compiler("#!/bin/sh\necho broken\n");
  RunnerSandbox::set_mtime(RunnerSandbox::cache_path(script), 1'000'000'000);
  RunResult result = sandbox.run_script(script);
  EXPECT_EQ(result.err, "Compilation process did not finish correctly. Error: \"broken\n\".\n");
  EXPECT_EQ(sandbox.compiler_source(), ";!" + sandbox.runner_path() + " -w\necho a\n");
  EXPECT_FALSE(fs::exists(source)) << "a failed compile leaves its source behind";
}

}  // namespace
}  // namespace sr::test
