#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/process/process.h"
#include "tests/unit/process/process_test_support.h"

namespace sr {
namespace {

using Arguments = std::vector<std::string>;

TEST(SplitProgramArguments, Table) {
  struct Row {
    const char* name;
    std::string text;
    Arguments expected;
  };
  const Row rows[] = {
      {"empty", "", {}},
      {"only separators", " \t\n  ", {}},
      {"runs of separators", "  a \t b\nc  ", {"a", "b", "c"}},
      {"quoted then glued", "one  \"two three\"four \"\"", {"one", "two three", "four", ""}},
      {"quote ends, next begins at once", "\"one two\"three", {"one two", "three"}},
      {"empty quotes alone", "\"\"", {""}},
      {"quote inside plain argument", "one\"two three\"", {"one\"two", "three\""}},
      {"unclosed quote runs to the end", "a \"b c  d", {"a", "b c  d"}},
      {"CR is ordinary", "a\r b\r\n", {"a\r", "b\r"}},
      {"no escapes", "a\\ b \"c\\\"d", {"a\\", "b", "c\\", "d"}},
      {"line feed kept inside quotes", "\"a\nb\"", {"a\nb"}},
      {"compiler call",
       "--quiet --executable \"/tmp/out file\" \"/tmp/in\"",
       {"--quiet", "--executable", "/tmp/out file", "/tmp/in"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(split_program_arguments(row.text), row.expected);
  }
}

TEST(SplitProgramArguments, KeepsAtMost510) {
  std::string text;
  for (int i = 0; i < 600; ++i) text += std::to_string(i) + " ";
  Arguments arguments = split_program_arguments(text);
  ASSERT_EQ(arguments.size(), 510u);
  EXPECT_EQ(arguments.front(), "0");
  EXPECT_EQ(arguments.back(), "509");
}

std::string printed_arguments(const std::string& program, const std::string& arguments) {
  ProgramHandle handle =
      start_program(program, arguments, "", ProgramFlag::open | ProgramFlag::read);
  if (handle == 0) return "not started";
  std::string output = testing::read_all_output(handle);
  close_program(handle);
  return output;
}

TEST(StartProgram, PassesProgramAsGivenAndSplitArguments) {
  EXPECT_EQ(printed_arguments(SR_PRINT_ARGS, "a \"b c\"d \"\""),
            std::string("[") + SR_PRINT_ARGS + "]\n[a]\n[b c]\n[d]\n[]\n");

  testing::TempDir dir;
  std::filesystem::create_symlink(SR_PRINT_ARGS, dir / "sr-echo-args");
  testing::ScopedEnv path("PATH", dir.path().c_str());
  EXPECT_EQ(printed_arguments("sr-echo-args", ""), "[sr-echo-args]\n");
}

TEST(StartProgram, PassesAtMost510Arguments) {
  std::string text;
  for (int i = 0; i < 520; ++i) text += "x ";
  std::string output = printed_arguments(SR_PRINT_ARGS, text);
  EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 511);
}

}  // namespace
}  // namespace sr
