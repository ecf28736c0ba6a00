// Another local user against the runner's files in the shared /tmp: the runner runs under an
// unprivileged uid, the attacker under a second one, with only the rights any user has there
// (create names, watch the folder with inotify, open what the modes allow).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>

#include "tests/e2e/run_child.h"
#include "tests/e2e/runner_sandbox.h"
#include "tests/fcgi/fcgi_client.h"
#include "tests/fcgi/server_process.h"
#include "tests/security/two_users.h"

namespace sr::test {
namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;

const std::string kGood = "GOOD\n";

std::string without_slashes(std::string path) {
  std::erase(path, '/');
  return path;
}

// The start of every /tmp name the runner derives from a script in `sandbox`.
std::string cache_prefix(const RunnerSandbox& sandbox) {
  return "zr-executable_" + without_slashes(sandbox.dir());
}

std::string lines_of(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += "  " + line + "\n";
  return text;
}

int count_containing(const std::vector<std::string>& lines, const std::string& needle) {
  int count = 0;
  for (const auto& line : lines) count += line.find(needle) != std::string::npos;
  return count;
}

class HostileTmp : public ::testing::Test {
 protected:
  void SetUp() override {
    SR_SKIP_UNLESS_ROOT();
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    users_ = users_for_slot(static_cast<int>(std::hash<std::string>()(test->name()) % 500));
    sandbox_ = std::make_unique<RunnerSandbox>();
    hand_over(*sandbox_, users_.runner);
  }
  void TearDown() override {
    sandbox_.reset();
    remove_tmp_entries_of(users_.runner);
    remove_tmp_entries_of(users_.attacker);
  }

  RunResult run(const std::string& script, const std::string& switches, mode_t mask = 022) {
    RunOptions options;
    options.switches = switches;
    options.env["SCRIPT_FILENAME"] = script;
    options.env["HTTP_COOKIE"] = "session=visitor-secret";
    options.timeout_ms = 20000;
    return run_as(*sandbox_, users_.runner, mask, options);
  }

  // What the runner's user owns in /tmp besides the sandbox's folder.
  std::vector<std::string> left_in_tmp() const {
    std::vector<std::string> left = tmp_entries_of(users_.runner);
    std::erase(left, sandbox_->dir());
    return left;
  }

  // Makes the next plain-mode request compile again.
  void touch_script(const std::string& script, int step) {
    RunnerSandbox::set_mtime(script, time(nullptr) + 100 + step);
  }

  TwoUsers users_{};
  std::unique_ptr<RunnerSandbox> sandbox_;
};

// A web server started with umask 000 hands it to the runner. The attacker opens each temporary
// source the moment it appears and rewrites it after the runner has written it; the compiler
// reads it a little later (a slow compiler widens the window that a real one also has). Parse
// mode writes its source itself, plain mode copies the script.
TEST_F(HostileTmp, RewrittenTemporarySourceIsNeverCompiled) {
  constexpr int kRequests = 6;
  sandbox_->set_compiler(sandbox_->default_compiler("/bin/sleep 0.3\n"));
  const std::string script = sandbox_->write_script("s.cgi", "echo GOOD\n");
  for (const char* switches : {"-w -p", "-w -p -f", "-w", "-w -f"}) {
    SCOPED_TRACE(switches);
    Attacker attacker(users_.attacker, "rewrite", cache_prefix(*sandbox_));
    int evil = 0, good = 0;
    for (int i = 0; i < kRequests; ++i) {
      touch_script(script, i);
      RunResult result = run(script, switches, 000);
      evil += result.out.find("EVIL") != std::string::npos;
      good += result.out == kGood;
    }
    const auto lines = attacker.finish();
    EXPECT_EQ(evil, 0) << "the attacker's program ran as the runner's user in " << evil << " of "
                       << kRequests << " requests";
    EXPECT_EQ(good, kRequests);
    EXPECT_EQ(count_containing(lines, "rewrote"), 0)
        << "the temporary source could be rewritten by another user:\n"
        << lines_of(lines);
  }
}

// A 0700 script holds a password; neither its temporary source nor its executable may be read by
// anybody but the runner's user, whatever the server's umask.
TEST_F(HostileTmp, SourceAndExecutableStayPrivate) {
  const std::string script = sandbox_->write_script("secret.cgi", "echo password=hunter2\n");
  ASSERT_EQ(chown(script.c_str(), users_.runner, users_.runner), 0);
  ASSERT_EQ(chmod(script.c_str(), 0700), 0);
  sandbox_->set_compiler(sandbox_->default_compiler("/bin/sleep 0.3\n"));
  const std::string exe = RunnerSandbox::cache_path(script);
  for (mode_t mask : {022, 000}) {
    for (const char* switches : {"-w", "-w -f", "-w -p"}) {
      SCOPED_TRACE(std::string(switches) + ", umask 0" + std::to_string(mask / 8) +
                   std::to_string(mask % 8));
      Attacker attacker(users_.attacker, "read", cache_prefix(*sandbox_));
      touch_script(script, 0);
      RunResult result = run(script, switches, mask);
      EXPECT_EQ(result.out, "password=hunter2\n") << result.err;
      const auto lines = attacker.finish();
      EXPECT_EQ(count_containing(lines, "hunter2"), 0)
          << "another user read the temporary source:\n"
          << lines_of(lines);
      if (std::string(switches) != "-w -f") {
        struct stat info {};
        ASSERT_EQ(stat(exe.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 077, 0u) << "executable mode " << std::oct << info.st_mode;
        EXPECT_NE(shell_as(users_.attacker, "/bin/cat -- '" + exe + "' >/dev/null 2>&1"), 0)
            << "another user read the executable";
      }
    }
  }
}

struct PlantRow {
  const char* name;
  const char* command;  // run by the attacker; P is the planted path
};
constexpr PlantRow kPlantKinds[] = {
    {"file",
     "printf '#!/bin/sh\\necho EVIL\\n' >\"$P\"; chmod 755 \"$P\"; touch -d 2090-01-01 \"$P\""},
    {"file writable by all",
     "printf '#!/bin/sh\\necho EVIL\\n' >\"$P\"; chmod 777 \"$P\"; touch -d 2090-01-01 \"$P\""},
    {"symbolic link",
     "printf '#!/bin/sh\\necho EVIL\\n' >\"$P-target\"; chmod 755 \"$P-target\"; "
     "ln -s \"$P-target\" \"$P\""},
    {"named pipe", "mkfifo -m 666 \"$P\""},
    {"folder", "mkdir -m 777 \"$P\" && : >\"$P/keep\""},
};
constexpr const char* kPlantPlaces[] = {"", ".script", ".zr"};

// The temporary source is written in the build's private folder: its old name in /tmp blocks
// nothing, and the script is served without a word.
bool blocks_the_cache(const char* place) {
  return std::string(place) != ".zr";
}

// How the log line for a blocked cache name ends: the blocker, its owner and the way out.
std::string blocked_line_end(const std::string& blocker, uid_t owner) {
  return " is blocked by " + blocker + " (owner uid " + std::to_string(owner) +
         "); this request is served by a private build. Removing " + blocker +
         " restores the cache.\n";
}

// Whatever the attacker plants before the first request at the executable's name, its record's
// or its temporary source's, the script is served with a private build, and the log says which
// path blocks the cache. The planted object itself cannot be removed by the runner's user.
TEST_F(HostileTmp, PlantedNamesCostAPrivateBuildNotTheScript) {
  int served = 0, variants = 0;
  for (const PlantRow& kind : kPlantKinds) {
    for (const char* place : kPlantPlaces) {
      SCOPED_TRACE(std::string(kind.name) + " at the name ending in \"" + place + "\"");
      ++variants;
      sandbox_ = std::make_unique<RunnerSandbox>();
      hand_over(*sandbox_, users_.runner);
      const std::string script = sandbox_->write_script("s.cgi", "echo GOOD\n");
      const std::string planted = RunnerSandbox::cache_path(script) + place;
      ASSERT_EQ(shell_as(users_.attacker, "P='" + planted + "'; " + kind.command), 0);
      bool all_served = true;
      for (int request = 1; request <= 2; ++request) {
        SCOPED_TRACE("request " + std::to_string(request));
        RunResult result = run(script, "-w");
        all_served &= result.out == kGood;
        EXPECT_EQ(result.out, kGood) << "the planted name stopped the script; log: " << result.err;
        EXPECT_EQ(result.exit_code, 0);
        if (!blocks_the_cache(place)) {
          EXPECT_EQ(result.err, "");
          continue;
        }
        EXPECT_TRUE(result.err.starts_with("The cached executable ") &&
                    result.err.ends_with(blocked_line_end(planted, users_.attacker)) &&
                    std::count(result.err.begin(), result.err.end(), '\n') == 1)
            << "no single log line names the blocking path and its owner; log: " << result.err;
      }
      served += all_served;
      EXPECT_TRUE(fs::exists(fs::symlink_status(planted)));
      for (const auto& path : left_in_tmp()) {
        EXPECT_TRUE(path.starts_with(RunnerSandbox::cache_path(script)))
            << "the private build left " << path;
      }
    }
  }
  EXPECT_EQ(served, variants) << served << " of " << variants << " planting variants served";
}

// The FastCGI server makes the warm cache decision itself and starts the executable it accepts.
// Run under the runner's uid with the same planted names, it must start none of them: every
// request is served by the runner's private build, with the runner's one log line.
TEST_F(HostileTmp, TheFastCgiServerStartsNoPlantedName) {
  // The bundled compiler's executables run resident in the server; the fake one's do not.
  for (const bool resident : {false, true}) {
    for (const PlantRow& kind : kPlantKinds) {
      for (const char* place : kPlantPlaces) {
        SCOPED_TRACE(std::string(kind.name) + " at the name ending in \"" + place + "\"" +
                     (resident ? ", bundled compiler" : ""));
        sandbox_ = std::make_unique<RunnerSandbox>();
        if (resident) sandbox_->use_stand_in_compiler();
        hand_over(*sandbox_, users_.runner);
        const std::string script =
            served_script(*sandbox_, "s.cgi", resident ? "WriteLine \"GOOD\"\n" : "echo GOOD\n");
        const std::string planted = RunnerSandbox::cache_path(script) + place;
        ASSERT_EQ(shell_as(users_.attacker, "P='" + planted + "'; " + kind.command), 0);
        ServerProcess server(*sandbox_, {}, Listen::unix_path, as_user(users_.runner, 022));
        ASSERT_TRUE(server.ready());
        for (int request = 1; request <= 2; ++request) {
          SCOPED_TRACE("request " + std::to_string(request));
          const FcgiResponse r = fcgi_request(server.socket_path(), request_params(script));
          EXPECT_EQ(r.out, kGood) << "log: " << r.err;
          EXPECT_TRUE(blocks_the_cache(place)
                          ? r.err.ends_with(blocked_line_end(planted, users_.attacker)) &&
                                std::count(r.err.begin(), r.err.end(), '\n') == 1
                          : r.err.empty())
              << "log: " << r.err;
        }
        // Only the runner's own build, once the cache name is free, is served resident.
        EXPECT_EQ(server.children().size(), resident && !blocks_the_cache(place) ? 1u : 0u);
      }
    }
  }
}

// The FastCGI server hands every request that must compile to the runner with the request's
// params as its environment; none of them may reach the compiler: a library to preload there
// would run as the runner's user before any script does.
TEST_F(HostileTmp, TheFastCgiServersCompilesSeeNothingOfTheRequest) {
  const std::string env_file = sandbox_->dir() + "/compiler.env";
  sandbox_->set_compiler(sandbox_->default_compiler("/usr/bin/env > \"$d/compiler.env\"\n"));
  const std::string script = served_script(*sandbox_, "s.cgi", "echo GOOD\n");
  ServerProcess server(*sandbox_, {}, Listen::unix_path, as_user(users_.runner, 022));
  ASSERT_TRUE(server.ready());
  const FcgiResponse r = fcgi_request(
      server.socket_path(),
      request_params(
          script, {{"LD_PRELOAD", "/tmp/planted.so"}, {"PATH", "/tmp"}, {"HTTP_COOKIE", "s=1"}}));
  EXPECT_EQ(r.out, kGood) << r.err;
  const std::string seen = RunnerSandbox::read_file(env_file);
  ASSERT_NE(seen.find("SCRIPT_FILENAME=" + script + "\n"), std::string::npos) << seen;
  for (const char* entry : {"LD_PRELOAD=", "HTTP_", "QUERY_STRING=", "PATH=/tmp"}) {
    EXPECT_EQ(seen.find(entry), std::string::npos) << entry << " reached the compiler:\n" << seen;
  }
}

// Force-mode names are unique, but inotify shows each one the moment its temporary source
// appears; the attacker plants the executable's name at once.
TEST_F(HostileTmp, ForceModeBuildsCannotBePlanted) {
  constexpr int kRequests = 10;
  sandbox_->set_compiler(sandbox_->default_compiler("/bin/sleep 0.2\n"));
  const std::string script = sandbox_->write_script("s.cgi", "echo GOOD\n");
  Attacker attacker(users_.attacker, "plant", cache_prefix(*sandbox_));
  int served = 0;
  for (int i = 0; i < kRequests; ++i) {
    RunResult result = run(script, "-w -f");
    served += result.out == kGood;
    EXPECT_EQ(result.out.find("EVIL"), std::string::npos);
  }
  const auto lines = attacker.finish();
  EXPECT_EQ(served, kRequests) << served << " of " << kRequests
                               << " force-mode requests served; attacker:\n"
                               << lines_of(lines);
}

// The attacker watches /tmp and plants the executable's name the moment a build starts, so the
// name is free when the build begins and taken when it ends; the plant is removed after each
// request, so that every build meets it anew. Each request is still served by its own build.
TEST_F(HostileTmp, NamesPlantedDuringTheBuildCostAPrivateBuild) {
  constexpr int kRequests = 10;
  sandbox_->set_compiler(sandbox_->default_compiler("/bin/sleep 0.2\n"));
  const std::string script = sandbox_->write_script("s.cgi", "echo GOOD\n");
  const std::string exe = RunnerSandbox::cache_path(script);
  Attacker attacker(users_.attacker, "divert", exe.substr(std::string("/tmp/").size()));
  int served = 0;
  for (int i = 0; i < kRequests; ++i) {
    SCOPED_TRACE("request " + std::to_string(i));
    ASSERT_EQ(shell_as(users_.attacker, "/bin/rm -f '" + exe + "'"), 0);
    touch_script(script, i);
    RunResult result = run(script, "-w");
    EXPECT_TRUE(result.err.empty() || result.err == "The cached executable " + exe +
                                                        blocked_line_end(exe, users_.attacker))
        << result.err;
    served += result.out == kGood;
  }
  const auto lines = attacker.finish();
  EXPECT_EQ(served, kRequests) << served << " of " << kRequests << " requests served; attacker:\n"
                               << lines_of(lines);
  EXPECT_GE(count_containing(lines, "planted"), kRequests) << lines_of(lines);
}

// Authors who share the runner's uid can write what it writes: a script's WriteFile over
// another page's cached executable must fail, and a page that its owner could rewrite is
// rebuilt, not trusted.
TEST_F(HostileTmp, AnotherAuthorCannotRewriteAPagesExecutable) {
  const std::string page = sandbox_->write_script("page.cgi", "echo GOOD\n");
  const std::string exe = RunnerSandbox::cache_path(page);
  ASSERT_EQ(run(page, "-w").out, kGood);
  const std::string evil = "/usr/bin/printf '#!/bin/sh\\necho EVIL\\n' > '" + exe + "'";
  EXPECT_NE(shell_as(users_.runner, evil + " 2>/dev/null"), 0)
      << "the runner's own user could write the cached executable";
  EXPECT_EQ(run(page, "-w").out, kGood);
  ASSERT_EQ(shell_as(users_.runner, "/bin/chmod u+w '" + exe + "' && " + evil), 0);
  EXPECT_EQ(run(page, "-w").out, kGood) << "an executable its owner may write was trusted";
}

// A web server ends a request whose visitor went away (or that ran too long) with SIGTERM; the
// runner removes what it created. Half of the requests are ended while compiling, half while the
// script runs.
TEST_F(HostileTmp, AbortedForceModeRequestsLeaveNothing) {
  constexpr int kRequests = 50;
  const std::string& dir = sandbox_->dir();
  sandbox_->set_compiler(
      sandbox_->default_compiler("if [ ! -e \"$d/abort-in-script\" ]; then echo $$ >\"$d/c.$$\"; "
                                 "/bin/mv \"$d/c.$$\" \"$d/compiling\"; /bin/sleep 20; fi\n"));
  const std::string script =
      sandbox_->write_script("s.cgi", "echo $$ >\"" + dir + "/s.$$\"; /bin/mv \"" + dir +
                                          "/s.$$\" \"" + dir + "/running\"; exec /bin/sleep 20\n");
  int aborted = 0;
  for (int i = 0; i < kRequests; ++i) {
    const bool in_script = i % 2 == 1;
    const std::string marker = in_script ? "running" : "compiling";
    SCOPED_TRACE("request " + std::to_string(i) + ", ended while " + marker);
    if (in_script)
      sandbox_->write_file("abort-in-script", "");
    else
      fs::remove(dir + "/abort-in-script");
    std::vector<std::string> argv = as_user(users_.runner, 022);
    argv.push_back(sandbox_->runner_path());
    argv.push_back("-w -f");
    Process runner(argv, {"SCRIPT_FILENAME=" + script}, dir);
    ASSERT_TRUE(wait_for_file(dir, marker, seconds(15))) << runner.error_text();
    kill(runner.pid(), SIGTERM);
    EXPECT_NE(runner.wait(seconds(10)), -1) << "the runner did not end after SIGTERM";
    sandbox_->kill_recorded(dir + "/" + marker);
    fs::remove(dir + "/" + marker);
    ++aborted;
  }
  const auto left = left_in_tmp();
  EXPECT_EQ(left.size(), 0u) << aborted << " aborted force-mode requests left " << left.size()
                             << " entries in /tmp, e.g. " << (left.empty() ? "" : left[0]);
}

constexpr const char* kHalfWritten =
    "/usr/bin/printf '#!/bin/sh\\necho PART' >\"$3.tmp-$$\"\n"
    "/bin/chmod 700 \"$3.tmp-$$\"\nexec /bin/sleep 8\n";

TEST_F(HostileTmp, FailedCompilesLeaveNothingBehind) {
  struct Row {
    const char* name;
    const char* compiler;  // the fake compiler after its "#!/bin/sh" line
    const char* switches;
  } rows[] = {
      {"force mode, compile error", "echo 'line 1: syntax error'\nexit 1\n", "-w -f"},
      {"plain mode, compile error", "echo 'line 1: syntax error'\nexit 1\n", "-w"},
      // A compiler that ignores the umask and leaves a readable executable beside its error.
      {"plain mode, executable and an error",
       "/usr/bin/printf '#!/bin/sh\\necho PART\\n' >\"$3\"\n/bin/chmod 755 \"$3\"\n"
       "echo 'line 1: syntax error'\n",
       "-w"},
      // Killed at the compile limit halfway through writing the executable, which the
      // compiler writes beside its final name as EXE.tmp-XXXXXX.
      {"plain mode, partial executable", kHalfWritten, "-w"},
      {"force mode, partial executable", kHalfWritten, "-w -f"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    sandbox_ = std::make_unique<RunnerSandbox>();
    hand_over(*sandbox_, users_.runner);
    sandbox_->set_compiler(std::string("#!/bin/sh\n") + row.compiler);
    const std::string script = sandbox_->write_script("s.cgi", "echo GOOD\n");
    RunResult failed = run(script, row.switches);
    EXPECT_NE(failed.out.find("Compilation process did not finish correctly"), std::string::npos)
        << failed.out;
    // A record of the script may stay: it names the script, not a build.
    for (const auto& path : left_in_tmp()) {
      EXPECT_TRUE(path.ends_with(".script")) << "left behind: " << path;
    }
    sandbox_->set_compiler(sandbox_->default_compiler());
    EXPECT_EQ(run(script, row.switches).out, kGood) << "the next request builds again";
  }
}

// A /tmp mounted noexec cannot hold the cache. The runner runs in a mount namespace of its own
// where /tmp is noexec (its sandbox folder stays executable); the failure must say why.
TEST_F(HostileTmp, NoexecTmpIsNamedInTheMessage) {
  const std::string script = sandbox_->write_script("s.cgi", "echo GOOD\n");
  const std::string& dir = sandbox_->dir();
  ChildLaunch launch;
  launch.argv = {"/usr/bin/unshare",
                 "-m",
                 "--propagation",
                 "private",
                 "/bin/sh",
                 "-c",
                 "/bin/mount --bind /tmp /tmp && /bin/mount -o remount,bind,noexec /tmp && "
                 "/bin/mount --bind \"$0\" \"$0\" && /bin/mount -o remount,bind,exec \"$0\" || "
                 "exit 99; exec \"$@\"",
                 dir};
  for (const auto& word : as_user(users_.runner, 022)) launch.argv.push_back(word);
  launch.argv.push_back(sandbox_->runner_path());
  launch.argv.push_back("-w");
  launch.env = {"SCRIPT_FILENAME=" + script};
  launch.cwd = dir;
  launch.timeout_ms = 20000;
  RunResult result = run_child(launch);
  if (result.exit_code == 99) GTEST_SKIP() << "no mount namespace here: " << result.err;
  const std::string message =
      "The compiled program cannot be started: " + RunnerSandbox::cache_path(script);
  EXPECT_EQ(result.out, warn_page(message));
  EXPECT_EQ(result.err,
            message + "\nPermission denied (/tmp/ is on a file system mounted noexec)\n");
}

}  // namespace
}  // namespace sr::test
