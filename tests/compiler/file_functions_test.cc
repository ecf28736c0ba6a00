// The file functions where a shared folder makes them go wrong: missing folders, read-only
// files, links and files that another user planted, named pipes, concurrent appends and a
// reader that watches a file being replaced. When the tests run as root, the programs run as
// bare unprivileged uids, as on a shared host; the tests that need a second user skip otherwise.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/compiler/compile_harness.h"
#include "tests/compiler/run_cases.h"

namespace sr::test {
namespace {

constexpr uid_t kOwner = 61501;     // runs the page
constexpr uid_t kAttacker = 61502;  // shares /tmp with it

// Reports every file function's result for the path in the first argument; deletes last, and
// only when the second argument asks for it.
constexpr const char* kProbe = R"(;
p$ = Arg$(1)
WriteLine "read [" + ReadFile$(p$) + "]"
WriteLine "exists " + Str$(FileExists(p$)) + " size " + Str$(FileSize(p$))
WriteLine "append " + Str$(AppendFile(p$, "+more"))
WriteLine "write " + Str$(WriteFile(p$, "new"))
If Arg$(2) = "delete"
  WriteLine "delete " + Str$(DeleteFile(p$))
EndIf
)";

std::string probe_result(const std::string& read, int exists, int size, int append, int write) {
  return "read [" + read + "]\nexists " + std::to_string(exists) + " size " + std::to_string(size) +
         "\nappend " + std::to_string(append) + "\nwrite " + std::to_string(write) + "\n";
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void put(const std::string& path, const std::string& content, mode_t mode, uid_t owner) {
  std::ofstream(path, std::ios::binary) << content;
  chmod(path.c_str(), mode);
  if (geteuid() == 0) {
    EXPECT_EQ(lchown(path.c_str(), owner, owner), 0);
  }
}

// The names in a folder, sorted: what a run leaves behind there.
std::vector<std::string> entries(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

bool is_link(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

class FileFunctions : public ::testing::Test {
 protected:
  void SetUp() override {
    chmod(box_.dir().c_str(), 0755);  // the programs' uids must reach their executables
    data_ = box_.path("data");
    make_folder(data_, 0755, kOwner);
    ASSERT_EQ(box_.compile(kProbe, "probe").exit_code, 0);
  }

  static bool root() { return geteuid() == 0; }

  static void make_folder(const std::string& path, mode_t mode, uid_t owner) {
    ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
    if (root()) {
      ASSERT_EQ(chown(path.c_str(), owner, owner), 0);
    }
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
  }

  // `argv` as `uid` when running as root, else as ourselves; never longer than `seconds`, so a
  // program that blocks fails the test instead of hanging it.
  static ProcessResult run_as(uid_t uid, std::vector<std::string> argv, int seconds = 20) {
    std::vector<std::string> full = {"/usr/bin/timeout", std::to_string(seconds)};
    if (root()) {
      const std::string id = std::to_string(uid);
      full.insert(full.end(),
                  {"/usr/bin/setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups", "--"});
    }
    full.insert(full.end(), argv.begin(), argv.end());
    return run_process(full);
  }

  ProcessResult probe(const std::string& path, const std::string& extra = "") {
    std::vector<std::string> argv = {box_.path("probe"), path};
    if (!extra.empty()) argv.push_back(extra);
    return run_as(kOwner, argv);
  }

  CompileSandbox box_;
  std::string data_;
};

// Every byte value, zero included, in a text longer than one read: what WriteFile and
// AppendFile store is what ReadFile$ and FileSize give back.
TEST_F(FileFunctions, TextsComeBackByteForByte) {
  ASSERT_EQ(
      box_.compile(";\nFor i = 0 To 255\n  all$ = all$ + Chr$(i)\nNext\n"
                   "For i = 1 To 9\n  all$ = all$ + all$\nNext\np$ = Arg$(1)\n"
                   "WriteLine WriteFile(p$, all$) + AppendFile(p$, all$) + AppendFile(p$, \"\")\n"
                   "back$ = ReadFile$(p$)\nWriteLine Str$(Len(back$)) + \" \" + "
                   "Str$(FileSize(p$)) + \" \" + Str$(back$ = all$ + all$)\n",
                   "bytes")
          .exit_code,
      0);
  ProcessResult r = run_as(kOwner, {box_.path("bytes"), data_ + "/bytes.bin"});
  EXPECT_EQ(r.out, "3\n262144 262144 1\n") << r.err;
}

TEST_F(FileFunctions, MissingFolderOrNameFailsEveryCallAndCreatesNothing) {
  for (const std::string& path : {data_ + "/missing/notes.txt", std::string()}) {
    SCOPED_TRACE(path);
    ProcessResult r = run_as(kOwner, {"/bin/sh", "-c", "cd \"$0\" && exec \"$1\" \"$2\" delete",
                                      data_, box_.path("probe"), path});
    EXPECT_EQ(r.out, probe_result("", 0, -1, 0, 0) + "delete 0\n");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(entries(data_), std::vector<std::string>{});
  }
}

TEST_F(FileFunctions, ReadOnlyFileIsReadButNeverChanged) {
  put(data_ + "/locked.txt", "old", 0444, kOwner);
  ProcessResult r = probe(data_ + "/locked.txt");
  EXPECT_EQ(r.out, probe_result("old", 1, 3, 0, 0));
  EXPECT_EQ(slurp(data_ + "/locked.txt"), "old");
  EXPECT_EQ(entries(data_), std::vector<std::string>{"locked.txt"});
  // Removing a file is a change to its folder, as with rm.
  r = probe(data_ + "/locked.txt", "delete");
  EXPECT_EQ(r.out, probe_result("old", 1, 3, 0, 0) + "delete 1\n");
  EXPECT_FALSE(box_.exists("data/locked.txt"));
}

TEST_F(FileFunctions, ReadOnlyFolderKeepsTheFileWholeWhenItCannotBeReplaced) {
  const std::string folder = data_ + "/fixed";
  make_folder(folder, 0755, kOwner);
  put(folder + "/list.txt", "old", 0644, kOwner);
  ASSERT_EQ(chmod(folder.c_str(), 0555), 0);
  ProcessResult r = probe(folder + "/list.txt");
  // Appending needs only the file; replacing needs a temporary file beside it.
  EXPECT_EQ(r.out, probe_result("old", 1, 3, 1, 0));
  EXPECT_EQ(slurp(folder + "/list.txt"), "old+more");
  chmod(folder.c_str(), 0755);
}

TEST_F(FileFunctions, FailedWritesLeaveTheOldFile) {
  put(data_ + "/big.txt", "old", 0644, kOwner);
  // A file size limit of 512 bytes makes the writes of 10,000 bytes fail part of the way.
  ASSERT_EQ(box_.compile(";\nbig$ = \"0123456789\"\nFor i = 1 To 1000\n  all$ = all$ + big$\nNext\n"
                         "WriteLine WriteFile(Arg$(1), all$)\nWriteLine AppendFile(Arg$(1), all$)\n"
                         "WriteLine AppendFile(Arg$(1), \"!\")\n",
                         "limited")
                .exit_code,
            0);
  ProcessResult r =
      run_as(kOwner, {"/bin/sh", "-c", "trap '' XFSZ; ulimit -f 1; exec \"$0\" \"$1\"",
                      box_.path("limited"), data_ + "/big.txt"});
  EXPECT_EQ(r.out, "0\n0\n1\n");
  EXPECT_EQ(slurp(data_ + "/big.txt"), "old!") << "a failed append must take back its part";
  EXPECT_EQ(entries(data_), std::vector<std::string>{"big.txt"});
}

mode_t mode_of(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST_F(FileFunctions, ReplacedFilesKeepTheirModeAndNewOnesFollowTheUmask) {
  put(data_ + "/kept.txt", "old", 0604, kOwner);
  ASSERT_EQ(box_.compile(";\nWriteLine WriteFile(Arg$(1), \"x\") + AppendFile(Arg$(2), \"y\") + "
                         "WriteFile(Arg$(3), \"z\")\n",
                         "modes")
                .exit_code,
            0);
  struct Row {
    const char* umask;
    mode_t new_mode;
  };
  for (const Row& row : {Row{"027", 0640}, Row{"0", 0666}}) {
    SCOPED_TRACE(std::string("umask ") + row.umask);
    const std::string appended = data_ + "/appended-" + row.umask;
    const std::string written = data_ + "/written-" + row.umask;
    ProcessResult r =
        run_as(kOwner, {"/bin/sh", "-c",
                        std::string("umask ") + row.umask + "; exec \"$0\" \"$1\" \"$2\" \"$3\"",
                        box_.path("modes"), data_ + "/kept.txt", appended, written});
    EXPECT_EQ(r.out, "3\n") << r.err;
    EXPECT_EQ(mode_of(appended), row.new_mode);
    EXPECT_EQ(mode_of(written), row.new_mode);
    EXPECT_EQ(mode_of(data_ + "/kept.txt"), 0604u) << "a replaced file keeps its own mode";
  }
}

TEST_F(FileFunctions, NamedPipesAndFoldersAreNotFilesAndNeverBlock) {
  ASSERT_EQ(mkfifo((data_ + "/pipe").c_str(), 0666), 0);
  make_folder(data_ + "/folder", 0777, kOwner);
  for (const char* name : {"pipe", "folder"}) {
    SCOPED_TRACE(name);
    ProcessResult r = probe(data_ + "/" + name, "delete");
    EXPECT_EQ(r.out, probe_result("", 0, -1, 0, 0) + "delete 0\n");
    EXPECT_EQ(r.exit_code, 0) << "124 means the program blocked: " << r.err;
  }
  struct stat st {};
  EXPECT_EQ(lstat((data_ + "/pipe").c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

// A listing shows regular files and folders only, follows no link (neither one inside the
// folder nor the listed path itself) and leaves out pipes.
TEST_F(FileFunctions, ListFolderFollowsNoLinks) {
  make_folder(data_ + "/site", 0777, kOwner);
  make_folder(data_ + "/site/sub", 0777, kOwner);
  ASSERT_EQ(mkfifo((data_ + "/site/pipe").c_str(), 0666), 0);
  ASSERT_EQ(symlink("sub", (data_ + "/site/to-sub").c_str()), 0);
  ASSERT_EQ(symlink("/etc/passwd", (data_ + "/site/to-file").c_str()), 0);
  ASSERT_EQ(symlink((data_ + "/site").c_str(), (data_ + "/link").c_str()), 0);
  ASSERT_EQ(box_.compile(";\nn = ListFolder(f$(), Arg$(1))\nWriteLine Str$(n) + \":\" + "
                         "Join$(f$(), \",\")\n",
                         "lister")
                .exit_code,
            0);
  EXPECT_EQ(run_as(kOwner, {box_.path("lister"), data_ + "/site"}).out, "1:sub/\n");
  EXPECT_EQ(run_as(kOwner, {box_.path("lister"), data_ + "/link"}).out, "-1:\n");
}

// The runner's cache in /tmp holds every page's program, owned by the same user as every
// page: no page may read one (its constants), replace it or remove it, by any spelling of its
// path. A file of the same name elsewhere is an ordinary file.
TEST_F(FileFunctions, CachedProgramsOfTheRunnerAreRefused) {
  const std::string name = "zr-executable_filetest" + std::to_string(getpid()) + ".script";
  const std::string cached = "/tmp/" + name;
  put(cached, "password", 0700, kOwner);
  struct Removed {
    std::string path;
    ~Removed() { unlink(path.c_str()); }
  } removed{cached};
  ASSERT_EQ(symlink(cached.c_str(), (data_ + "/link").c_str()), 0);
  ASSERT_EQ(symlink("/tmp", (data_ + "/tmp").c_str()), 0);
  ASSERT_EQ(box_.compile(";\np$ = Arg$(2)\nIf Arg$(1) = \"read\"\n WriteLine ReadFile$(p$)\n"
                         "ElseIf Arg$(1) = \"write\"\n WriteLine WriteFile(p$, \"evil\")\n"
                         "ElseIf Arg$(1) = \"append\"\n WriteLine AppendFile(p$, \"evil\")\n"
                         "ElseIf Arg$(1) = \"delete\"\n WriteLine DeleteFile(p$)\n"
                         "Else\n WriteLine FileSize(p$)\nEndIf\n",
                         "one")
                .exit_code,
            0);
  const std::string refusal =
      "The file functions do not touch the runner's cached programs (/tmp/zr-executable_*)\n";
  for (const std::string& path :
       {cached, "/tmp/./" + name, "//tmp//" + name, data_ + "/link", data_ + "/tmp/" + name}) {
    for (const char* op : {"read", "write", "append", "delete", "size"}) {
      SCOPED_TRACE(path + " " + op);
      ProcessResult r = run_as(kOwner, {box_.path("one"), op, path});
      EXPECT_EQ(r.out, kFailedPage);
      EXPECT_TRUE(r.err.ends_with(refusal)) << r.err;
      EXPECT_EQ(r.exit_code, 1);
      EXPECT_EQ(slurp(cached), "password");
    }
  }
  struct stat st {};
  EXPECT_EQ(stat(cached.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  put(data_ + "/" + name, "mine", 0600, kOwner);
  EXPECT_EQ(run_as(kOwner, {box_.path("one"), "read", data_ + "/" + name}).out, "mine\n");
}

// The attacker shares a sticky, world-writable folder with the page's owner and plants what the
// page will open there: links to the owner's own files, and files of its own.
class PlantedFiles : public FileFunctions {
 protected:
  void SetUp() override {
    FileFunctions::SetUp();
    if (!root()) GTEST_SKIP() << "planting as a second user needs root to switch uids";
    shared_ = data_ + "/shared";
    make_folder(shared_, 01777, 0);
    make_folder(data_ + "/private", 0700, kOwner);
    secret_ = data_ + "/private/secret.txt";
    put(secret_, "secret", 0600, kOwner);
  }

  void plant_link(const std::string& name, const std::string& target) {
    ProcessResult r = run_as(kAttacker, {"/bin/ln", "-s", target, shared_ + "/" + name});
    ASSERT_EQ(r.exit_code, 0) << r.err;
  }

  std::string shared_, secret_;
};

TEST_F(PlantedFiles, LinkToTheOwnersFileIsNeitherFollowedNorReplaced) {
  plant_link("guestbook.txt", secret_);
  ProcessResult r = probe(shared_ + "/guestbook.txt", "delete");
  EXPECT_EQ(r.out, probe_result("", 0, -1, 0, 0) + "delete 0\n");
  EXPECT_EQ(slurp(secret_), "secret");
  EXPECT_TRUE(is_link(shared_ + "/guestbook.txt"));
}

TEST_F(PlantedFiles, DanglingLinkCreatesNothingAtItsTarget) {
  const std::string target = data_ + "/private/created.txt";
  plant_link("log.txt", target);
  ProcessResult r = probe(shared_ + "/log.txt");
  EXPECT_EQ(r.out, probe_result("", 0, -1, 0, 0));
  EXPECT_FALSE(box_.exists("data/private/created.txt"));
}

TEST_F(PlantedFiles, FileOfAnotherUserIsNotTrusted) {
  const std::string planted = shared_ + "/counter.txt";
  ProcessResult made = run_as(kAttacker, {"/bin/sh", "-c", "umask 0; echo 41 > \"$0\"", planted});
  ASSERT_EQ(made.exit_code, 0) << made.err;
  // It is there, but its content is the attacker's, and the owner's text must not go into it.
  ProcessResult r = probe(planted);
  EXPECT_EQ(r.out, probe_result("", 1, 3, 0, 0));
  EXPECT_EQ(slurp(planted), "41\n");
}

TEST_F(PlantedFiles, OwnFileInTheSharedFolderWorks) {
  put(shared_ + "/mine.txt", "old", 0644, kOwner);
  ProcessResult r = probe(shared_ + "/mine.txt", "delete");
  EXPECT_EQ(r.out, probe_result("old", 1, 3, 1, 1) + "delete 1\n");
  EXPECT_FALSE(box_.exists("data/shared/mine.txt"));
}

// A lock file that the attacker made (so that it could hold the lock for ever, or learn when the
// page runs) or a link it planted in the lock file's place: the page stops with an error rather
// than count on a lock that is not its own.
TEST_F(PlantedFiles, LockOnAFileOrLinkOfAnotherUserIsRefused) {
  ASSERT_EQ(box_.compile(";\nLock Arg$(1)\n  WriteLine \"inside\"\nEndLock\n", "locker").exit_code,
            0);
  ProcessResult made =
      run_as(kAttacker, {"/bin/sh", "-c", "umask 0; : > \"$0\"", shared_ + "/page.lock"});
  ASSERT_EQ(made.exit_code, 0) << made.err;
  plant_link("link.lock", secret_);
  ProcessResult planted = run_as(kOwner, {box_.path("locker"), shared_ + "/page.lock"});
  EXPECT_EQ(planted.err,
            "Runtime error at line 2: Lock does not use a lock file that another user left in a "
            "shared folder\n");
  EXPECT_EQ(planted.exit_code, 1);
  ProcessResult linked = run_as(kOwner, {box_.path("locker"), shared_ + "/link.lock"});
  EXPECT_EQ(linked.err, "Runtime error at line 2: Lock does not follow a link to its lock file\n");
  EXPECT_EQ(run_as(kOwner, {box_.path("locker"), shared_ + "/own.lock"}).out, "inside\n");
  EXPECT_EQ(slurp(secret_), "secret");
}

// The attacker waits, woken by inotify, for the temporary file that WriteFile creates beside a
// missing target and plants a link to the owner's secret at the target's name before the rename.
// The rename must then fail rather than leave the owner's text behind a link, or write through it.
TEST_F(PlantedFiles, LinkPlantedWhileTheFileIsBeingWrittenIsNotWrittenThrough) {
  const std::string target = shared_ + "/page.txt";
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t attacker = fork();
  if (attacker == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(kAttacker) != 0 || setuid(kAttacker) != 0) _exit(126);
    int watch = inotify_init1(IN_CLOEXEC);
    if (watch < 0 || inotify_add_watch(watch, shared_.c_str(), IN_CREATE) < 0) _exit(125);
    if (write(ready[1], "r", 1) != 1) _exit(124);
    alignas(inotify_event) char events[4096];
    for (ssize_t n; (n = read(watch, events, sizeof events)) > 0;) {
      for (char* at = events; at < events + n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(at);
        if (event->len > 0 && std::string(event->name).starts_with("page.txt.")) {
          _exit(symlink(secret_.c_str(), target.c_str()) == 0 ? 0 : 123);
        }
        at += sizeof(inotify_event) + event->len;
      }
    }
    _exit(122);
  }
  ASSERT_GT(attacker, 0);
  char byte;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  // Five MiB keep the temporary file open long enough for the attacker to act.
  ASSERT_EQ(box_.compile(";\ns$ = \"owner\"\nFor i = 1 To 20\n  s$ = s$ + s$\nNext\n"
                         "WriteLine WriteFile(Arg$(1), s$)\n",
                         "page")
                .exit_code,
            0);
  ProcessResult r = run_as(kOwner, {box_.path("page"), target});
  int status = 0;
  if (waitpid(attacker, &status, WNOHANG) == 0) {
    kill(attacker, SIGKILL);
    waitpid(attacker, &status, 0);
  }
  close(ready[0]);
  close(ready[1]);
  EXPECT_TRUE(slurp(secret_) == "secret") << "the secret was written through the link";
  if (is_link(target)) {
    RecordProperty("race", "the attacker planted first");
    EXPECT_EQ(r.out, "0\n") << "the text is not where the program was told it is";
  } else {
    RecordProperty("race", "the rename came first");
    EXPECT_EQ(r.out, "1\n");  // the rename came first; the attacker's link then failed
    EXPECT_EQ(slurp(target).size(), 5u << 20);
  }
  EXPECT_EQ(entries(shared_), std::vector<std::string>{"page.txt"});
}

// Each run appends records of 3,000 bytes that name it in every byte; a record split by
// another's shows up as a line of mixed or wrong length.
TEST_F(FileFunctions, ConcurrentAppendsNeverInterleave) {
  constexpr int kRuns = 20, kRecords = 50, kBody = 3000;
  ASSERT_EQ(
      box_.compile(";\nc$ = Chr$(64 + Val(Arg$(1)))\nFor i = 1 To " + std::to_string(kBody) +
                       "\n  body$ = body$ + c$\nNext\nFor i = 1 To " + std::to_string(kRecords) +
                       "\n  If AppendFile(Arg$(2), body$ + #LF$) = 0\n    WriteLine \"failed\"\n"
                       "  EndIf\nNext\n",
                   "appender")
          .exit_code,
      0);
  const std::string log = data_ + "/log.txt";
  ProcessResult r = run_as(kOwner, {"/bin/sh", "-c",
                                    "i=1; while [ $i -le " + std::to_string(kRuns) +
                                        " ]; do \"$0\" $i \"$1\" & i=$((i+1)); done; wait",
                                    box_.path("appender"), log});
  EXPECT_EQ(r.out, "");
  std::istringstream lines(slurp(log));
  std::map<char, int> records;
  int bad = 0;
  for (std::string line; std::getline(lines, line);) {
    if (line.size() != size_t{kBody} || line.find_first_not_of(line[0]) != std::string::npos)
      ++bad;
    else
      ++records[line[0]];
  }
  EXPECT_EQ(bad, 0);
  ASSERT_EQ(records.size(), static_cast<size_t>(kRuns));
  for (const auto& [c, count] : records) {
    SCOPED_TRACE(std::string(1, c));
    EXPECT_EQ(count, kRecords);
  }
}

// Twenty runs at once each take twenty ids from a counter file under Lock: every id is given out
// once, and the counter ends at 400. The lock file did not exist and is made 0600.
TEST_F(FileFunctions, LockGivesOutEveryIdOnce) {
  constexpr int kRuns = 20, kIds = 20;
  ASSERT_EQ(box_.compile(";\nFor i = 1 To " + std::to_string(kIds) +
                             "\n  Lock Arg$(1) + \"/ids.lock\"\n"
                             "    id = Val(ReadFile$(Arg$(1) + \"/ids.txt\")) + 1\n"
                             "    If WriteFile(Arg$(1) + \"/ids.txt\", Str$(id)) = 0\n"
                             "      WriteLine \"failed\"\n    EndIf\n  EndLock\n"
                             "  WriteLine id\nNext\n",
                         "ids")
                .exit_code,
            0);
  ProcessResult r = run_as(kOwner, {"/bin/sh", "-c",
                                    "i=1; while [ $i -le " + std::to_string(kRuns) +
                                        " ]; do \"$0\" \"$1\" & i=$((i+1)); done; wait",
                                    box_.path("ids"), data_});
  std::istringstream lines(r.out);
  std::vector<int> ids;
  for (std::string line; std::getline(lines, line);) ids.push_back(std::stoi(line));
  std::sort(ids.begin(), ids.end());
  std::vector<int> expected(kRuns * kIds);
  for (size_t i = 0; i < expected.size(); ++i) expected[i] = static_cast<int>(i) + 1;
  EXPECT_EQ(ids, expected) << r.err;
  EXPECT_EQ(slurp(data_ + "/ids.txt"), std::to_string(kRuns * kIds));
  struct stat st;
  ASSERT_EQ(stat((data_ + "/ids.lock").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(st.st_size, 0);
}

// A lock that another process keeps (as a page stuck in its block would, or two pages that took
// two locks in opposite orders) ends the waiting run with an error instead of hanging it.
TEST_F(FileFunctions, LockGivesUpOnALockHeldForTooLong) {
  ASSERT_EQ(box_.compile(";\nLock Arg$(1)\n  WriteLine \"inside\"\nEndLock\n", "locker").exit_code,
            0);
  const std::string lock_file = data_ + "/held.lock";
  put(lock_file, "", 0600, kOwner);
  const int held = open(lock_file.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  ProcessResult r = run_as(kOwner, {box_.path("locker"), lock_file}, 60);
  close(held);
  EXPECT_EQ(r.err,
            "Runtime error at line 2: Lock waited 30 seconds for a lock file that another run "
            "holds\n");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out.find("inside"), std::string::npos);
}

// A reader that reads the file over and over while another run replaces it must see one
// content or the other, whole, every time.
TEST_F(FileFunctions, WriteFileReplacesAtomically) {
  constexpr int kSize = 200000;
  const std::string path = data_ + "/page.txt";
  put(path, std::string(kSize, 'a'), 0644, kOwner);
  ASSERT_EQ(
      box_.compile(";\nFor i = 1 To 18\n  a$ = a$ + a$ + \"a\"\n  b$ = b$ + b$ + \"b\"\nNext\n"
                   "a$ = Left$(a$, " +
                       std::to_string(kSize) + ")\nb$ = Left$(b$, " + std::to_string(kSize) +
                       ")\nFor i = 1 To 100\n  If WriteFile(Arg$(1), b$) + WriteFile(Arg$(1), "
                       "a$) <> 2\n    WriteLine \"failed\"\n  EndIf\nNext\n",
                   "writer")
          .exit_code,
      0);
  pid_t writer = fork();
  if (writer == 0) {
    if (root() && (setgroups(0, nullptr) != 0 || setgid(kOwner) != 0 || setuid(kOwner) != 0))
      _exit(126);
    execl(box_.path("writer").c_str(), "writer", path.c_str(), nullptr);
    _exit(127);
  }
  ASSERT_GT(writer, 0);
  int reads = 0, torn = 0, status = 0;
  while (waitpid(writer, &status, WNOHANG) == 0) {
    const std::string seen = slurp(path);
    ++reads;
    if (seen.size() != size_t{kSize} || seen.find_first_not_of(seen[0]) != std::string::npos)
      ++torn;
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_GT(reads, 0);
  EXPECT_EQ(torn, 0) << "of " << reads << " reads";
  EXPECT_EQ(slurp(path), std::string(kSize, 'a'));
  EXPECT_EQ(entries(data_), std::vector<std::string>{"page.txt"});
}

}  // namespace
}  // namespace sr::test
