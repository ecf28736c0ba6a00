// The cache in /tmp is shared with everyone: nothing planted there is executed or written
// through, concurrent runs of one stale script agree, and scripts that are not files end at once.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "tests/e2e/planting.h"
#include "tests/e2e/runner_sandbox.h"

namespace sr::test {
namespace {

namespace fs = std::filesystem;

constexpr int kHangGuardMs = 20000;
const std::string kCannotCopy = "Source file cannot be copied.";

void expect_never_run(const RunnerSandbox& sandbox, const std::string& script,
                      const std::string& exe) {
  RunResult result = sandbox.run_script(script);
  EXPECT_EQ(result.out.find("EVIL"), std::string::npos);
  EXPECT_TRUE(served_despite(result, exe, exe)) << "out: " << result.out << "\nerr: " << result.err;
  if (fs::exists(sandbox.dir() + "/evil")) {
    EXPECT_EQ(RunnerSandbox::read_file(sandbox.dir() + "/evil"), kEvil) << "written through";
  }
}

TEST(CacheSafety, PlantedExecutableIsNeverRun) {
  struct Row {
    const char* name;
    std::function<void(const RunnerSandbox&, const std::string& exe)> plant;
  } rows[] = {
      {"symbolic link to a foreign program",
       [](const RunnerSandbox& sandbox, const std::string& exe) {
         std::string target = sandbox.dir() + "/evil";
         plant_file(target, kEvil, 0755, 0);
         RunnerSandbox::set_mtime(target, kFuture);
         fs::create_symlink(target, exe);
       }},
      {"owned by another user",
       [](const RunnerSandbox&, const std::string& exe) {
         plant_file(exe, kEvil, 0755, kNobody);
         RunnerSandbox::set_mtime(exe, kFuture);
       }},
      {"group-writable",
       [](const RunnerSandbox&, const std::string& exe) {
         plant_file(exe, kEvil, 0775, 0);
         RunnerSandbox::set_mtime(exe, kFuture);
       }},
      {"writable by others",
       [](const RunnerSandbox&, const std::string& exe) {
         plant_file(exe, kEvil, 0757, 0);
         RunnerSandbox::set_mtime(exe, kFuture);
       }},
      {"a directory",
       [](const RunnerSandbox&, const std::string& exe) {
         fs::create_directories(exe);
         RunnerSandbox::set_mtime(exe, kFuture);
       }},
  };
  ASSERT_EQ(geteuid(), 0u) << "planting foreign-owned files needs root";
  for (const auto& row : rows) {
    for (bool built_before : {false, true}) {
      SCOPED_TRACE(std::string(row.name) + (built_before ? ", over a build of this script" : ""));
      RunnerSandbox sandbox;
      std::string script = sandbox.write_script("s.cgi", "echo GOOD\n");
      std::string exe = RunnerSandbox::cache_path(script);
      // A build leaves whatever the runner keeps beside the executable for this script.
      if (built_before) {
        ASSERT_EQ(sandbox.run_script(script).out, "GOOD\n");
      }
      fs::remove_all(exe);
      row.plant(sandbox, exe);
      expect_never_run(sandbox, script, exe);
    }
  }
}

TEST(CacheSafety, TemporarySourceIsNeverWrittenThroughAPlantedFile) {
  struct Row {
    const char* name;
    bool symlink;  // else a hard link to a file of another user
  } rows[] = {{"symbolic link", true}, {"foreign-owned file", false}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    RunnerSandbox sandbox;
    std::string victim = sandbox.dir() + "/victim";
    plant_file(victim, "precious\n", 0666, row.symlink ? 0 : kNobody);
    std::string script = sandbox.write_script("s.cgi", "echo GOOD\n");
    std::string source = RunnerSandbox::cache_path(script) + ".zr";
    if (row.symlink) {
      fs::create_symlink(victim, source);
    } else {
      fs::create_hard_link(victim, source);
    }
    RunResult result = sandbox.run_script(script);
    EXPECT_EQ(RunnerSandbox::read_file(victim), "precious\n");
    EXPECT_TRUE(served_despite(result, RunnerSandbox::cache_path(script), source))
        << "out: " << result.out << "\nerr: " << result.err;
  }
}

TEST(CacheSafety, PermissiveCompilerOutputIsMadeTrustworthy) {
  RunnerSandbox sandbox;
  sandbox.set_compiler(sandbox.default_compiler("umask 0\n") + "/bin/chmod 777 \"$3\"\n");
  std::string script = sandbox.write_script("s.cgi", "echo GOOD\n");
  for (int run = 1; run <= 2; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    RunResult result = sandbox.run_script(script);
    EXPECT_EQ(result.out, "GOOD\n");
    EXPECT_EQ(result.err, "");
  }
  struct stat info {};
  ASSERT_EQ(stat(RunnerSandbox::cache_path(script).c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 077, 0u) << "the executable holds the script's code";
  EXPECT_EQ(sandbox.compile_count(), 1);
}

TEST(CacheSafety, ConcurrentRunsOfAStaleScriptAllSucceed) {
  constexpr int kRuns = 20;
  RunnerSandbox sandbox;
  // A slow compiler widens the window in which runs meet; it reads the source only late.
  sandbox.set_compiler(sandbox.default_compiler("/bin/sleep 0.3\n"));
  std::string script = sandbox.write_script("c.cgi", "/usr/bin/seq 1 5000\necho end\n");
  std::string expected;
  for (int i = 1; i <= 5000; ++i) expected += std::to_string(i) + "\n";
  expected += "end\n";

  std::vector<RunResult> results(kRuns);
  std::vector<std::thread> threads;
  for (int i = 0; i < kRuns; ++i) {
    threads.emplace_back([&, i] {
      RunOptions options;
      options.switches = "-w";
      options.env["SCRIPT_FILENAME"] = script;
      options.timeout_ms = 60000;
      results[i] = sandbox.run(options);
    });
  }
  for (auto& thread : threads) thread.join();
  for (int i = 0; i < kRuns; ++i) {
    SCOPED_TRACE("run " + std::to_string(i));
    EXPECT_TRUE(results[i].out == expected) << results[i].out.substr(0, 200);
    EXPECT_EQ(results[i].err, "");
  }
  EXPECT_EQ(sandbox.compile_count(), 1) << "runs that waited find the executable current";
  EXPECT_FALSE(fs::exists(RunnerSandbox::cache_path(script) + ".zr"));
}

TEST(CacheSafety, ScriptThatIsNotAFileCannotBeCopied) {
  RunnerSandbox sandbox;
  std::string fifo = sandbox.dir() + "/pipe.cgi";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  fs::create_directories(sandbox.dir() + "/folder.cgi");
  const struct {
    std::string script;
    const char* reason;
  } rows[] = {{fifo, "not a regular file"},
              {sandbox.dir() + "/folder.cgi", "Is a directory"},
              {"/dev/zero", "not a regular file"}};
  for (const auto& [script, reason] : rows) {
    SCOPED_TRACE(script);
    RunOptions options;
    options.switches = "-w";
    options.env["SCRIPT_FILENAME"] = script;
    options.timeout_ms = kHangGuardMs;
    RunResult result = sandbox.run(options);
    EXPECT_EQ(result.out, warn_page(kCannotCopy));
    // The log names the file that failed, and why.
    EXPECT_EQ(result.err, kCannotCopy + "\n" + script + ": " + reason + "\n");
  }
  EXPECT_EQ(sandbox.compile_count(), 0);
  // /dev/zero's cache name lies outside the sandbox's prefix.
  for (const auto& entry : fs::directory_iterator("/tmp")) {
    if (entry.path().filename().string().starts_with("zr-executable_devzero")) {
      fs::remove_all(entry.path());
    }
  }
}

}  // namespace
}  // namespace sr::test
