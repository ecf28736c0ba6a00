// An executable started resident by a small client standing in for a server: requests over one
// socket, each with its own folder, arguments, environment and streams, and nothing of one run
// visible to the next.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "compiler/resident_mark.h"
#include "tests/compiler/compile_harness.h"

namespace sr::test {
namespace {

struct Served {
  std::string out, err;
  std::string answered;  // what the run wrote on the web server's connection
  uint32_t ending = 99;  // 0 ran, 1 run-time error, 2 not run, 3 answered on the connection
  int exit_code = -1;
};

void put32(std::string& to, uint64_t v, int bytes = 4) {
  for (int i = 0; i < bytes; ++i) to.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

std::string read_to_end(int fd) {
  std::string all;
  char block[4096];
  for (ssize_t n; (n = read(fd, block, sizeof block)) > 0;) all.append(block, n);
  close(fd);
  return all;
}

class Resident {
 public:
  explicit Resident(const std::string& exe) {
    int pair[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(pair[1], 3);
      execl(exe.c_str(), "zr-resident", "3", nullptr);
      _exit(127);
    }
    close(pair[1]);
    socket_ = pair[0];
  }

  // Sends one request with its streams, and with a connection standing for the web server's
  // when `request_id` is not 0, and waits for the run's end.
  Served request(const std::string& folder, const std::vector<std::string>& args,
                 const std::vector<std::string>& env, const std::string& input,
                 uint16_t request_id = 0) {
    std::string body = folder + '\0';
    for (const auto& s : args) body += s + '\0';
    for (const auto& s : env) body += s + '\0';
    std::string header;
    put32(header, 0x5a525251);
    put32(header, 3);
    put32(header, args.size());
    put32(header, env.size());
    put32(header, body.size(), 8);
    put32(header, request_id);
    int in[2], out[2], err[2], web[2];
    EXPECT_EQ(pipe(in) | pipe(out) | pipe(err), 0);
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, web), 0);
    int streams[4] = {in[0], out[1], err[1], web[1]};
    const size_t passed = sizeof(int) * (request_id != 0 ? 4 : 3);
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof streams)] = {};
    iovec part{header.data(), header.size()};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = CMSG_SPACE(passed);
    cmsghdr* c = CMSG_FIRSTHDR(&message);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(passed);
    std::memcpy(CMSG_DATA(c), streams, passed);
    EXPECT_EQ(sendmsg(socket_, &message, 0), static_cast<ssize_t>(header.size()));
    EXPECT_EQ(write(socket_, body.data(), body.size()), static_cast<ssize_t>(body.size()));
    for (int fd : streams) close(fd);
    EXPECT_EQ(write(in[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
    close(in[1]);
    Served served;
    served.out = read_to_end(out[0]);
    served.err = read_to_end(err[0]);
    char reply[32];
    EXPECT_EQ(read(socket_, reply, sizeof reply), 32);
    EXPECT_EQ(std::string(reply, 4), "NDRZ");
    std::memcpy(&served.ending, reply + 4, 4);
    std::memcpy(&served.exit_code, reply + 8, 4);
    // The counts are what the pipes held; the last of the output follows the reply.
    uint32_t last = 0;
    uint64_t output_bytes = 0, error_bytes = 0;
    std::memcpy(&last, reply + 12, 4);
    std::memcpy(&output_bytes, reply + 16, 8);
    std::memcpy(&error_bytes, reply + 24, 8);
    EXPECT_EQ(output_bytes, served.out.size());
    EXPECT_EQ(error_bytes, served.err.size());
    // An answered run's L counts what went to the connection; nothing follows the reply.
    if (served.ending == 3) last = 0;
    served.answered = read_to_end(web[0]);
    std::string tail(last, '\0');
    for (size_t got = 0; got < last;) {
      const ssize_t n = read(socket_, tail.data() + got, last - got);
      if (n <= 0) break;
      got += n;
    }
    served.out += tail;
    return served;
  }

  // The descriptors the process holds between requests.
  std::vector<std::string> descriptors() const {
    std::vector<std::string> fds;
    for (const auto& e :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid_) + "/fd")) {
      fds.push_back(e.path().filename());
    }
    std::sort(fds.begin(), fds.end());
    return fds;
  }

  // Its resident memory in KiB.
  long resident_kib() const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.starts_with("VmRSS:")) return std::stol(line.substr(6));
    }
    return -1;
  }

  // Closes the socket; the process's exit status.
  int finish() {
    close(socket_);
    int status = 0;
    waitpid(pid_, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  pid_t pid_ = -1;
  int socket_ = -1;
};

// A small page of a run that came with the web server's connection is answered there, as the
// server would write it; a page larger than one piece of a unix socket, or a run that wrote an
// error line, leaves the answer to the server.
TEST(ResidentMode, ASmallPageIsAnsweredOnTheWebServersConnection) {
  CompileSandbox box;
  ASSERT_EQ(box.compile(";\nIf Arg$(1) = \"big\"\n  For i = 1 To 4000\n    Write \"0123456789\"\n"
                        "  Next i\nEndIf\nIf Arg$(1) = \"log\"\n  WriteError \"note\"\nEndIf\n"
                        "Write \"page\"\n")
                .exit_code,
            0);
  Resident resident(box.path("prog"));
  const std::string records = std::string("\1\6\0\7\0\4\0\0", 8) + "page" +
                              std::string("\1\6\0\7\0\0\0\0\1\3\0\7\0\x08\0\0", 16) +
                              std::string(8, '\0');
  const Served small = resident.request(box.dir(), {"prog", "small"}, {}, "", 7);
  EXPECT_EQ(small.ending, 3u);
  EXPECT_EQ(small.out, "");
  EXPECT_EQ(small.answered, records);
  for (const std::string arg : {"big", "log"}) {
    SCOPED_TRACE(arg);
    const Served r = resident.request(box.dir(), {"prog", arg}, {}, "", 7);
    EXPECT_EQ(r.ending, 0u);
    EXPECT_EQ(r.answered, "");
    EXPECT_TRUE(r.out.ends_with("page")) << r.out.size();
    EXPECT_EQ(resident.descriptors(), (std::vector<std::string>{"0", "1", "2", "3"}));
  }
  EXPECT_EQ(resident.finish(), 0);
}

TEST(ResidentMode, RequestsShareNothing) {
  CompileSandbox box;
  ASSERT_EQ(
      box.compile(";\nn = n + 1\nDim a(3)\na(1) = a(1) + 5\nm{\"k\"} = m{\"k\"} + 1\n"
                  "WriteLine Str$(n) + Str$(a(1)) + Str$(m{\"k\"}) + Env$(\"FIRST\") + Arg$(1) + "
                  "ReadLine$() + "
                  "FormatDate$(\"%H\", 0)\n"
                  "Flush\nWriteLine Random(1000000000)\nWriteLine FileExists(\"mark.txt\")\n"
                  "x = WriteFile(\"mark.txt\", \"1\")\nWrite \"unflushed\"\n"
                  "If Arg$(1) = \"fail\"\n  WriteLine 1 / (n - 1)\nEndIf\n"
                  "If Arg$(1) = \"end\"\n  End 7\nEndIf\n")
          .exit_code,
      0);
  const int exe = open(box.path("prog").c_str(), O_RDONLY);
  EXPECT_TRUE(zr::declares_resident_mode(exe));
  close(exe);
  std::filesystem::create_directories(box.path("one"));
  std::filesystem::create_directories(box.path("two"));
  Resident resident(box.path("prog"));
  struct Step {
    std::string folder, arg;
    std::vector<std::string> env;  // TZ, which the process's own takes, is the run's alone
    std::string input, first_line;
    std::string here, err;
    uint32_t ending;
    int exit_code;
  };
  const std::vector<Step> steps = {
      {"one",
       "fail",
       {"FIRST=yes", "TZ=EST5EDT,M3.2.0,M11.1.0"},
       "in\nnext\n",
       "151yesfailin19",
       "0",
       "Runtime error at line 13: Division by zero\n",
       1,
       1},
      {"two", "end", {"OTHER=1"}, "", "151end00", "0", "", 0, 7},
      {"one", "again", {}, "x", "151againx00", "1", "", 0, 0},
  };
  std::vector<std::string> randoms;
  for (const Step& s : steps) {
    SCOPED_TRACE(s.arg);
    Served r = resident.request(box.path(s.folder), {"prog", s.arg}, s.env, s.input);
    const size_t first = r.out.find('\n'), second = r.out.find('\n', first + 1);
    ASSERT_NE(second, std::string::npos) << r.out;
    EXPECT_EQ(r.out.substr(0, first), s.first_line);
    randoms.push_back(r.out.substr(first + 1, second - first - 1));
    EXPECT_EQ(r.out.substr(second + 1), s.here + "\nunflushed");
    EXPECT_EQ(r.err, s.err);
    EXPECT_EQ(r.ending, s.ending);
    EXPECT_EQ(r.exit_code, s.exit_code);
    EXPECT_TRUE(box.exists(s.folder + "/mark.txt")) << "the run wrote into its own folder";
    EXPECT_EQ(resident.descriptors(), (std::vector<std::string>{"0", "1", "2", "3"}));
  }
  Served relative = resident.request("one", {"prog", "x"}, {}, "");
  EXPECT_EQ(relative.ending, 2u);
  EXPECT_EQ(relative.out, "");
  EXPECT_EQ(relative.err, "Cannot enter the working folder\n");
  EXPECT_NE(randoms[0], randoms[1]);
  EXPECT_NE(randoms[1], randoms[2]);
  EXPECT_EQ(resident.finish(), 0);
}

// A run that fails inside a Lock block, or Ends there, lets the lock go with the run: the
// process lives on, and another process (this test) and the next request take the lock at once.
TEST(ResidentMode, RunsEndingInsideLockLeaveNoLockHeld) {
  CompileSandbox box;
  ASSERT_EQ(box.compile(";\nLock \"page.lock\"\n  WriteLine \"in \" + Arg$(1)\n  Flush\n"
                        "  If Arg$(1) = \"fail\"\n    WriteLine 1 / 0\n  EndIf\n"
                        "  If Arg$(1) = \"end\"\n    End 3\n  EndIf\nEndLock\n")
                .exit_code,
            0);
  Resident resident(box.path("prog"));
  const std::string lock_file = box.path("page.lock");
  const struct {
    std::string arg;
    uint32_t ending;
    int exit_code;
  } runs[] = {{"fail", 1, 1}, {"end", 0, 3}, {"fail", 1, 1}, {"whole", 0, 0}};
  for (const auto& run : runs) {
    SCOPED_TRACE(run.arg);
    Served r = resident.request(box.dir(), {"prog", run.arg}, {}, "");
    EXPECT_EQ(r.out.substr(0, r.out.find('\n')), "in " + run.arg);
    EXPECT_EQ(r.ending, run.ending) << r.err;
    EXPECT_EQ(r.exit_code, run.exit_code);
    EXPECT_EQ(resident.descriptors(), (std::vector<std::string>{"0", "1", "2", "3"}));
    const int fd = open(lock_file.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0) << "the lock is still held after the run";
    close(fd);
  }
  EXPECT_EQ(resident.finish(), 0);
}

// EnvNames lists the request's own variables, not the process's: once each (as Env$ finds the
// first), without an entry that names nothing.
TEST(ResidentMode, EnvNamesAreTheRequestsOwn) {
  CompileSandbox box;
  ASSERT_EQ(box.compile(";\nn = EnvNames(e$())\nWriteLine Str$(n) + \" \" + Join$(e$(), \",\") + "
                        "\" \" + Env$(\"B\")\n")
                .exit_code,
            0);
  Resident resident(box.path("prog"));
  Served r = resident.request(box.dir(), {"prog"}, {"B=1", "A=", "B=2", "no-equals", "=x"}, "");
  EXPECT_EQ(r.out, "2 A,B 1\n");
  r = resident.request(box.dir(), {"prog"}, {}, "");
  EXPECT_EQ(r.out, "0  \n");
  EXPECT_EQ(resident.finish(), 0);
}

// A run that fails while a frame holds a text (here the 4 MiB value being stored at an index out
// of range) skips that frame; the process must still get the text back once the run is over.
TEST(ResidentMode, FailedRunsLeaveNoMemoryBehind) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's runtime holds freed memory back, so the process cannot shrink";
#endif
  CompileSandbox box;
  ASSERT_EQ(box.compile(";\nDim a$(3)\nb$ = \"0123456789abcdef\"\nFor i = 1 To 18\n"
                        "  b$ = b$ + b$\nNext\na$(9) = b$\n")
                .exit_code,
            0);
  Resident resident(box.path("prog"));
  long first = 0;
  for (int i = 0; i < 25; ++i) {
    Served r = resident.request(box.dir(), {"prog"}, {}, "");
    ASSERT_EQ(r.ending, 1u) << r.err;
    if (i == 0) first = resident.resident_kib();
  }
  EXPECT_LT(resident.resident_kib() - first, 16 * 1024) << "KiB grown over 24 failed runs";
  EXPECT_EQ(resident.finish(), 0);
}

}  // namespace
}  // namespace sr::test
