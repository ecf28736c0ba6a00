// The compiler's arguments and the judgement of its result; compression with upx.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <set>
#include <sstream>

#include "tests/e2e/runner_sandbox.h"

namespace sr::test {
namespace {

namespace fs = std::filesystem;

const std::string kCompileFailed = "Compilation process did not finish correctly. Error: \"";
const std::string kNotWhole =
    " (this was probably not the whole compiler output due to technical reasons)";
const std::string kUpxWarning =
    "Something went wrong when compressing executable with UPX. Maybe the executable remains "
    "uncompressed. Resuming progress!";

TEST(Compile, CompilerGetsEachPathAsOneArgument) {
  const char* names[] = {"plain.cgi", "with blank.cgi", "q\" \"b.cgi", "tab\tand  two.cgi",
                         "back\\slash.cgi"};
  for (const char* name : names) {
    SCOPED_TRACE(name);
    RunnerSandbox sandbox;
    // A planted neighbour that a re-split argument string would compile instead.
    sandbox.write_file("b.cgi.zr", "#!/x\necho planted\n");
    std::string script = sandbox.write_script(name, "echo ok\n");
    std::string exe = RunnerSandbox::cache_path(script);
    RunResult result = sandbox.run_script(script);
    const std::string built = RunnerSandbox::compiled_path(sandbox.compiler_args());
    EXPECT_TRUE(RunnerSandbox::is_private_build_of(built, exe)) << built;
    EXPECT_EQ(sandbox.compiler_args(), "--quiet\n--executable\n" + built + "\n" + built + ".zr\n");
    EXPECT_EQ(result.out, "ok\n");
    EXPECT_EQ(result.err, "");
  }
}

// What a request's environment holds must not reach the compiler or the packer: a library to
// preload, a search path, the visitor's cookie, the request's own switch variables. They get
// the runner's fixed set and the variables that the administrator lists.
TEST(Compile, ToolsGetOnlyTheirFixedEnvironment) {
  RunnerSandbox sandbox;
  const std::string& d = sandbox.dir();
  sandbox.set_compiler(sandbox.default_compiler("/usr/bin/env > \"$d/compiler.env\"\n"));
  sandbox.set_upx("#!/bin/sh\n/usr/bin/env > '" + d + "/upx.env'\n");
  const std::string script =
      sandbox.write_script("s.cgi", "echo \"${ZR_Interpreter_ParamWarn-unset}\"\n");
  const std::map<std::string, std::string> request = {{"LD_PRELOAD", "/tmp/planted.so"},
                                                      {"PATH", "/tmp"},
                                                      {"HTTP_COOKIE", "session=secret"},
                                                      {"QUERY_STRING", "a=1"},
                                                      {"ZR_Interpreter_ParamWarn", "1"},
                                                      {"ZR_Interpreter_ParamForce", "1"},
                                                      {"ZR_Interpreter_ToolEnv", "TZ  LANG UNSET"},
                                                      {"TZ", "UTC"},
                                                      {"LANG", "C.UTF-8"}};
  const RunResult result = sandbox.run_script(script, "-c", request);
  EXPECT_EQ(result.out, "unset\n") << "an inherited switch variable reached the script";
  // The script itself inherits the request's environment, as any CGI program does.
  const std::string expected =
      "LANG=C.UTF-8\nPATH=/usr/local/bin:/usr/bin:/bin\n"
      "SCRIPT_FILENAME=" +
      script + "\nTAMRIVOLE_HOME=" + d + "/\nTZ=UTC\nZR_Interpreter_Version=150\n";
  for (const char* tool : {"compiler.env", "upx.env"}) {
    SCOPED_TRACE(tool);
    std::istringstream lines(RunnerSandbox::read_file(d + "/" + tool));
    std::set<std::string> entries;
    for (std::string line; std::getline(lines, line);) {
      if (!line.starts_with("PWD=")) entries.insert(line);  // the shell's own
    }
    std::string seen;
    for (const std::string& entry : entries) seen += entry + "\n";
    EXPECT_EQ(seen, expected);
  }
}

TEST(Compile, EachFailureEndsWithItsMessage) {
  struct Row {
    const char* name;
    std::optional<std::string> compiler;  // nullopt: no compiler file at all
    int mode;
    std::string message;
  } rows[] = {
      {"compiler missing", std::nullopt, 0755, "Compiler could not be started."},
      {"compiler not executable", "#!/bin/sh\nexit 0\n", 0644, "Compiler could not be started."},
      {"output fails even with an executable",
       "#!/bin/sh\nprintf 'line 1\\nline 2' ; printf '#!/bin/sh\\n' > \"$3\"; chmod 755 \"$3\"\n",
       0755, kCompileFailed + "line 1\nline 2\"."},
      {"silent exit without executable", "#!/bin/sh\nexit 0\n", 0755,
       kCompileFailed + kNotWhole + "\"."},
      {"silent failure without executable", "#!/bin/sh\nexit 1\n", 0755,
       kCompileFailed + kNotWhole + "\"."},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    RunnerSandbox sandbox;
    fs::remove(sandbox.dir() + "/compilers/zrcompiler");
    if (row.compiler) sandbox.write_file("compilers/zrcompiler", *row.compiler, row.mode);
    std::string script = sandbox.write_script("s.cgi", "echo never\n");
    for (bool warn : {false, true}) {
      SCOPED_TRACE(warn ? "-w" : "no switch");
      fs::remove(RunnerSandbox::cache_path(script));
      RunResult result = sandbox.run_script(script, warn ? "--warn" : "");
      EXPECT_EQ(result.err, row.message + "\n");
      EXPECT_EQ(result.out, warn ? warn_page(row.message) : "");
      EXPECT_EQ(result.exit_code, 0);
    }
  }
}

TEST(Compile, CompilerDirectoryCannotBeStarted) {
  RunnerSandbox sandbox;
  fs::remove(sandbox.dir() + "/compilers/zrcompiler");
  fs::create_directories(sandbox.dir() + "/compilers/zrcompiler");
  std::string script = sandbox.write_script("s.cgi", "echo never\n");
  RunResult result = sandbox.run_script(script);
  EXPECT_EQ(result.err, "Compiler could not be started.\n");
  EXPECT_EQ(result.out, warn_page("Compiler could not be started."));
}

TEST(Compile, CompilerErrorStreamGoesStraightToTheErrorLog) {
  RunnerSandbox sandbox;
  sandbox.set_compiler(sandbox.default_compiler("echo 'note: fine' >&2\n"));
  std::string script = sandbox.write_script("s.cgi", "echo ok\n");
  RunResult result = sandbox.run_script(script);
  EXPECT_EQ(result.out, "ok\n");
  EXPECT_EQ(result.err, "note: fine\n");
}

TEST(Compile, MoreThanFiveSecondsFailsEvenWhenTheCompilerSucceedsLater) {
  RunnerSandbox sandbox;
  sandbox.set_compiler(sandbox.default_compiler("/bin/sleep 6 > /dev/null 2>&1\n"));
  std::string script = sandbox.write_script("s.cgi", "echo late\n");
  RunResult result = sandbox.run_script(script);
  std::string message = kCompileFailed + kNotWhole + "\".";
  EXPECT_EQ(result.err, message + "\n");
  EXPECT_EQ(result.out, warn_page(message));
}

TEST(Compile, SilentHangingCompilerIsKilledSoonAfterFiveSeconds) {
  RunnerSandbox sandbox;
  std::string pid_file = sandbox.dir() + "/compiler.pid";
  sandbox.set_compiler("#!/bin/sh\necho $$ > '" + pid_file + "'\nexec /bin/sleep 1000\n");
  std::string script = sandbox.write_script("s.cgi", "echo never\n");
  RunOptions options;
  options.switches = "-w";
  options.env["SCRIPT_FILENAME"] = script;
  options.timeout_ms = 20000;
  RunResult result = sandbox.run(options);
  // Whatever the runner did, the hanging compiler must not outlive the test.
  sandbox.kill_recorded(pid_file);
  std::string message = kCompileFailed + kNotWhole + "\".";
  EXPECT_EQ(result.err, message + "\n");
  EXPECT_EQ(result.out, warn_page(message));
  EXPECT_GE(result.seconds, 4.9) << "the compiler has five seconds";
  EXPECT_LE(result.seconds, 7.5) << "the run ends soon after the five seconds";
}

TEST(Compile, OlderExecutableSurvivingASilentFailureRuns) {
  RunnerSandbox sandbox;
  std::string script = sandbox.write_script("s.cgi", "echo old\n");
  ASSERT_EQ(sandbox.run_script(script).out, "old\n");
  sandbox.write_script("s.cgi", "echo new\n");
  RunnerSandbox::set_mtime(RunnerSandbox::cache_path(script), 1'000'000'000);
  sandbox.set_compiler("#!/bin/sh\nexit 1\n");
  RunResult result = sandbox.run_script(script);
  EXPECT_EQ(result.out, "old\n");
  EXPECT_EQ(result.err, "");
}

TEST(Compress, UpxThatCannotStartOnlyWarnsOnce) {
  struct Row {
    const char* name;
    std::optional<std::string> upx;
    int mode;
  } rows[] = {
      {"missing", std::nullopt, 0},
      {"not executable", "#!/bin/sh\nexit 0\n", 0644},
      {"empty", "", 0755},
      {"a directory", std::nullopt, -1},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    RunnerSandbox sandbox;
    if (row.upx) sandbox.set_upx(*row.upx, row.mode);
    if (row.mode == -1) fs::create_directories(sandbox.dir() + "/upx");
    std::string script = sandbox.write_script("s.cgi", "echo served\n");
    RunResult result = sandbox.run_script(script, "-w -c");
    EXPECT_EQ(result.err, kUpxWarning + "\n");
    EXPECT_EQ(result.out, "served\n");
    EXPECT_EQ(result.exit_code, 0);
  }
}

TEST(Compress, UpxGetsQuietFlagAndTheExecutableAsOneArgument) {
  for (const char* name : {"s.cgi", "with \"quote\" and blank.cgi"}) {
    SCOPED_TRACE(name);
    RunnerSandbox sandbox;
    sandbox.set_upx("#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > '" +
                    sandbox.dir() + "/upx.args'\n");
    std::string script = sandbox.write_script(name, "echo served\n");
    for (const char* switches : {"--compress", "-c"}) {
      SCOPED_TRACE(switches);
      fs::remove(sandbox.dir() + "/upx.args");
      fs::remove(RunnerSandbox::cache_path(script));
      RunResult result = sandbox.run_script(script, switches);
      EXPECT_EQ(result.out, "served\n");
      EXPECT_EQ(result.err, "");
      const std::string args = RunnerSandbox::read_file(sandbox.dir() + "/upx.args");
      ASSERT_TRUE(args.starts_with("-qqq\n") && args.ends_with("\n")) << args;
      EXPECT_TRUE(RunnerSandbox::is_private_build_of(args.substr(5, args.size() - 6),
                                                     RunnerSandbox::cache_path(script)))
          << args;
    }
  }
}

// A packer that fails by removing its input leaves nothing to run: the message says so, with
// the system's reason, rather than blaming the cache; force mode leaves nothing behind.
TEST(Compress, UpxThatRemovesTheExecutableEndsWithTheStartMessage) {
  for (const char* switches : {"-w -c", "-w -c -f"}) {
    SCOPED_TRACE(switches);
    RunnerSandbox sandbox;
    sandbox.set_upx("#!/bin/sh\n/bin/rm -f \"$2\"\necho \"$2\" > '" + sandbox.dir() +
                    "/upx.path'\n");
    std::string script = sandbox.write_script("s.cgi", "echo served\n");
    RunResult result = sandbox.run_script(script, switches);
    std::string exe = RunnerSandbox::read_file(sandbox.dir() + "/upx.path");
    ASSERT_FALSE(exe.empty());
    exe.pop_back();
    const std::string message = "The compiled program cannot be started: " + exe;
    EXPECT_EQ(result.err, message + "\nNo such file or directory\n");
    EXPECT_EQ(result.out, warn_page(message));
    EXPECT_FALSE(
        fs::exists(fs::path(exe).parent_path() / (fs::path(exe).filename().string() + ".zr")));
  }
}

}  // namespace
}  // namespace sr::test
