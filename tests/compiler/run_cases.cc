#include "tests/compiler/run_cases.h"

#include <gtest/gtest.h>

#include "tests/compiler/compile_harness.h"

namespace sr::test {

void check_cases(const std::vector<RunCase>& cases) {
  CompileSandbox box;
  for (const RunCase& c : cases) {
    SCOPED_TRACE(c.name);
    ProcessResult r = box.compile_and_run(";#!/usr/local/bin/runner -w\n" + c.source,
                                          {{"ZR_TEST", "from the environment"}}, c.input,
                                          {"first", "second arg"});
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.exit_code, c.exit_code);
  }
}

void check_compile_errors(const std::vector<CompileErrorCase>& cases) {
  CompileSandbox box;
  for (const CompileErrorCase& c : cases) {
    SCOPED_TRACE(c.name);
    ProcessResult r = box.compile(";\n" + c.source);
    EXPECT_EQ(r.out, c.messages);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_FALSE(box.exists("prog")) << "no executable is written";
  }
}

}  // namespace sr::test
