// The fixture itself: what the end-to-end tests rely on when they read its results.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "tests/e2e/run_child.h"
#include "tests/e2e/runner_sandbox.h"

namespace sr::test {
namespace {

TEST(Sandbox, RunChildPassesLargeInputAndOutputWithoutDeadlock) {
  ChildLaunch launch;
  launch.argv = {"/bin/cat"};
  launch.stdin_data = std::string(3 << 20, 'x');
  launch.stdin_data[12345] = '\0';
  RunResult result = run_child(launch);
  EXPECT_EQ(result.out, launch.stdin_data);
  EXPECT_EQ(result.exit_code, 0);
}

TEST(Sandbox, RunChildGivesExactlyTheEnvironmentAndArguments) {
  ChildLaunch launch;
  launch.argv = {"/usr/bin/env"};
  launch.env = {"A=1", "B=two words"};
  RunResult result = run_child(launch);
  EXPECT_EQ(result.out, "A=1\nB=two words\n");
}

TEST(Sandbox, RunChildKillsAHangingChild) {
  ChildLaunch launch;
  launch.argv = {"/bin/sleep", "100"};
  launch.timeout_ms = 200;
  RunResult result = run_child(launch);
  EXPECT_TRUE(result.timed_out);
}

TEST(Sandbox, DestructorRemovesFolderAndCacheFiles) {
  std::string dir;
  std::string cached;
  {
    RunnerSandbox sandbox;
    dir = sandbox.dir();
    std::string script = sandbox.write_script("sub/s.cgi", "true\n");
    cached = RunnerSandbox::cache_path(script);
    EXPECT_EQ(cached, "/tmp/zr-executable_tmp" + dir.substr(5) + "subs.cgi");
    std::filesystem::create_directory(cached + ".d");
    { std::ofstream(cached) << "x"; }
    EXPECT_EQ(sandbox.cache_files().size(), 2u);
  }
  EXPECT_FALSE(std::filesystem::exists(dir));
  EXPECT_FALSE(std::filesystem::exists(cached));
  EXPECT_FALSE(std::filesystem::exists(cached + ".d"));
}

TEST(Sandbox, DefaultCompilerBuildsAShellExecutable) {
  RunnerSandbox sandbox;
  std::string source = sandbox.write_file("in.zr", ";!/x/scriptrunner -w\necho hi\n");
  std::string exe = sandbox.dir() + "/out";
  ChildLaunch launch;
  launch.argv = {sandbox.dir() + "/compilers/zrcompiler", "--quiet", "--executable", exe, source};
  RunResult result = run_child(launch);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(RunnerSandbox::read_file(exe), "#!/bin/sh\necho hi\n");
  EXPECT_EQ(sandbox.compiler_args(), "--quiet\n--executable\n" + exe + "\n" + source + "\n");
  EXPECT_EQ(sandbox.compiler_source(), ";!/x/scriptrunner -w\necho hi\n");
  EXPECT_EQ(sandbox.compile_count(), 1);
  launch.argv = {exe};
  EXPECT_EQ(run_child(launch).out, "hi\n");
}

}  // namespace
}  // namespace sr::test
