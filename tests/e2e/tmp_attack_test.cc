// Whatever someone plants in the shared /tmp at the three names the runner uses for a script (the
// cached executable, its temporary source and its path record) is never executed, written through
// or removed when it belongs to someone else or is no plain file of ours; every request either
// builds the script's own code or ends through the error page.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>

#include "tests/e2e/planting.h"
#include "tests/e2e/runner_sandbox.h"

namespace sr::test {
namespace {

namespace fs = std::filesystem;

constexpr int kHangGuardMs = 20000;

enum class Kind { symlink, foreign_file, group_writable, world_writable, directory, fifo };

struct KindRow {
  const char* name;
  Kind kind;
};
constexpr KindRow kKinds[] = {
    {"symbolic link", Kind::symlink},
    {"file of another user", Kind::foreign_file},
    {"group-writable file", Kind::group_writable},
    {"world-writable file", Kind::world_writable},
    {"directory", Kind::directory},
    {"named pipe", Kind::fifo},
};

struct PlaceRow {
  const char* name;
  const char* suffix;  // appended to the cached executable's path
};
constexpr PlaceRow kPlaces[] = {
    {"executable", ""},
    {"temporary source", ".zr"},
    {"path record", ".script"},
};

// What was planted, as seen from outside, to compare after the run.
struct Snapshot {
  fs::file_type type = fs::file_type::not_found;
  ino_t inode = 0;
  uid_t owner = 0;
  mode_t mode = 0;
  std::string content;  // of the file, or of the link's target
  std::string link_target;
  bool operator==(const Snapshot&) const = default;
};

Snapshot snapshot(const std::string& path) {
  Snapshot shot;
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) return shot;
  shot.type = fs::symlink_status(path).type();
  shot.inode = info.st_ino;
  shot.owner = info.st_uid;
  shot.mode = info.st_mode;
  if (shot.type == fs::file_type::symlink) shot.link_target = fs::read_symlink(path).string();
  // Reading a named pipe would block; its identity is enough.
  if (shot.type == fs::file_type::regular || shot.type == fs::file_type::symlink) {
    shot.content = RunnerSandbox::read_file(path);
  }
  if (shot.type == fs::file_type::directory)
    shot.content = RunnerSandbox::read_file(path + "/keep");
  return shot;
}

void plant_evil(const std::string& path, mode_t mode, uid_t owner) {
  plant_file(path, kEvil, mode, owner);
  RunnerSandbox::set_mtime(path, kFuture);
}

void plant(Kind kind, const RunnerSandbox& sandbox, const std::string& path) {
  fs::remove_all(path);
  switch (kind) {
    case Kind::symlink: {
      // The victim is a runnable program with a future date: following the link would run it.
      std::string victim = sandbox.dir() + "/victim";
      plant_evil(victim, 0755, 0);
      fs::create_symlink(victim, path);
      break;
    }
    case Kind::foreign_file:
      plant_evil(path, 0755, kNobody);
      break;
    case Kind::group_writable:
      plant_evil(path, 0775, geteuid());
      break;
    case Kind::world_writable:
      plant_evil(path, 0757, geteuid());
      break;
    case Kind::directory:
      fs::create_directory(path);
      { std::ofstream(path + "/keep") << kEvil; }
      RunnerSandbox::set_mtime(path, kFuture);
      break;
    case Kind::fifo:
      ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
      break;
  }
}

// Files of our own user that others may write are ours to replace; anything else stays as it was.
bool runner_may_replace(Kind kind) {
  return kind == Kind::group_writable || kind == Kind::world_writable;
}

bool is_error_page(const RunResult& result, const std::string& exe) {
  for (const std::string& message : {"The cached executable cannot be trusted: " + exe,
                                     std::string("Source file cannot be copied."),
                                     std::string("Temporary source file cannot be edited.")}) {
    if (result.out == warn_page(message) && result.err == message + "\n") return true;
  }
  return false;
}

RunResult run_guarded(const RunnerSandbox& sandbox, const std::string& script) {
  RunOptions options;
  options.switches = "-w";
  options.env["SCRIPT_FILENAME"] = script;
  options.timeout_ms = kHangGuardMs;
  return sandbox.run(options);
}

TEST(TmpAttack, PlantedObjectsAreNeitherRunNorWrittenNorRemoved) {
  ASSERT_EQ(geteuid(), 0u) << "planting files of another user needs root";
  for (const PlaceRow& place : kPlaces) {
    for (const KindRow& kind : kKinds) {
      for (bool between_requests : {false, true}) {
        SCOPED_TRACE(std::string(kind.name) + " at the " + place.name +
                     (between_requests ? ", planted between two requests" : ", planted first"));
        RunnerSandbox sandbox;
        std::string script = sandbox.write_script("s.cgi", "echo GOOD\n");
        std::string exe = RunnerSandbox::cache_path(script);
        std::string target = exe + place.suffix;
        if (between_requests) {
          RunResult first = run_guarded(sandbox, script);
          ASSERT_EQ(first.out, "GOOD\n");
          // The next request must build again, so that it meets the source and the record.
          RunnerSandbox::set_mtime(script, time(nullptr) + 100);
        }
        plant(kind.kind, sandbox, target);
        const Snapshot planted = snapshot(target);
        // Held open, a replaced file keeps its inode number, so a new file cannot take it.
        const int hold = open(target.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
        const Snapshot victim = snapshot(sandbox.dir() + "/victim");

        RunResult result = run_guarded(sandbox, script);
        EXPECT_EQ(result.exit_code, 0);
        EXPECT_EQ(result.out.find("EVIL"), std::string::npos) << "planted code was run";
        EXPECT_TRUE(served_despite(result, exe, target) || is_error_page(result, exe))
            << "out: " << result.out << "\nerr: " << result.err;
        EXPECT_EQ(snapshot(sandbox.dir() + "/victim"), victim) << "written through a link";
        const Snapshot after = snapshot(target);
        if (hold >= 0) close(hold);
        if (!runner_may_replace(kind.kind)) {
          EXPECT_TRUE(after == planted) << "the planted object was changed or removed";
        } else if (after.inode == planted.inode && place.suffix != std::string(".zr")) {
          EXPECT_TRUE(after == planted) << "written into a file that others may write";
        }
        // A normal run takes its temporary source away; only a planted one may stay.
        if (result.out == "GOOD\n" && place.suffix != std::string(".zr")) {
          EXPECT_FALSE(fs::exists(fs::symlink_status(exe + ".zr")));
        }
      }
    }
  }
}

// The record says which script an executable was built from. If others could rewrite it, a
// script whose cache name collides with another's (/a/bc.cgi and /ab/c.cgi) would run that
// other script's build.
TEST(TmpAttack, RecordThatOthersCanWriteLendsNoBuild) {
  RunnerSandbox sandbox;
  std::string first = sandbox.write_script("a/bc.cgi", "echo FIRST\n");
  std::string second = sandbox.write_script("ab/c.cgi", "echo SECOND\n");
  std::string exe = RunnerSandbox::cache_path(first);
  ASSERT_EQ(exe, RunnerSandbox::cache_path(second));
  RunnerSandbox::set_mtime(second, 1'000'000'000);  // older than any build
  ASSERT_EQ(run_guarded(sandbox, first).out, "FIRST\n");

  std::string record = exe + ".script";
  ASSERT_TRUE(fs::exists(record));
  ASSERT_EQ(chmod(record.c_str(), 0666), 0);
  { std::ofstream(record, std::ios::binary | std::ios::trunc) << second; }

  RunResult result = run_guarded(sandbox, second);
  EXPECT_NE(result.out, "FIRST\n") << "a rewritten record made another script's build current";
  EXPECT_TRUE(result.out == "SECOND\n" || is_error_page(result, exe))
      << "out: " << result.out << "\nerr: " << result.err;
}

}  // namespace
}  // namespace sr::test
