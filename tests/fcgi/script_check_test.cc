// The first line of a script read as the kernel reads it, and the checks on the file itself.
#include "fcgi/script_check.h"

#include <fcntl.h>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include <filesystem>
#include <fstream>
#include <functional>

#include "fcgi/warm_memo.h"

namespace sr::fcgi {
namespace {

TEST(InterpreterLine, IsSplitAndTrimmedAsTheKernelDoes) {
  const struct {
    const char* name;
    std::string head;
    std::optional<std::string> interpreter;  // nullopt: not a script
    std::optional<std::string> argument;
  } rows[] = {
      {"no switches", "#!/x/scriptrunner\nbody", "/x/scriptrunner", std::nullopt},
      {"one switch", "#!/x/scriptrunner -w\n", "/x/scriptrunner", "-w"},
      {"two switches stay one argument", "#!/x/sr -w -f\n", "/x/sr", "-w -f"},
      {"blanks and tabs around", "#! \t/x/sr \t -w  -p\t \n", "/x/sr", "-w  -p"},
      {"carriage return is kept", "#!/x/sr -w\r\n", "/x/sr", "-w\r"},
      {"carriage return in the name", "#!/x/sr\r\n", "/x/sr\r", std::nullopt},
      {"trailing blanks only", "#!/x/sr   \n", "/x/sr", std::nullopt},
      {"no newline at all", "#!/x/sr -w", "/x/sr", "-w"},
      {"NUL ends the name", std::string("#!/x/sr\0 -w\n", 12), "/x/sr", std::nullopt},
      {"NUL ends the argument", std::string("#!/x/sr -w\0-f\n", 14), "/x/sr", "-w"},
      {"no interpreter", "#!   \n", std::nullopt, std::nullopt},
      {"empty file", "", std::nullopt, std::nullopt},
      {"not a script", "; Write \"x\"\n", std::nullopt, std::nullopt},
      {"one hash", "#/x/sr\n", std::nullopt, std::nullopt},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const std::optional<InterpreterLine> line = parse_interpreter_line(row.head);
    ASSERT_EQ(line.has_value(), row.interpreter.has_value());
    if (!line) continue;
    EXPECT_EQ(line->interpreter, *row.interpreter);
    EXPECT_EQ(line->argument, row.argument);
  }
}

TEST(InterpreterLine, OnlyTheKernelsBufferCounts) {
  const std::string name = "/" + std::string(100, 'd') + "/scriptrunner";
  // The argument runs past the buffer: it is cut at byte 255, as the kernel cuts it.
  const std::string head = "#!" + name + " " + std::string(300, 'a') + "\n";
  const std::optional<InterpreterLine> line = parse_interpreter_line(head);
  ASSERT_TRUE(line);
  EXPECT_EQ(line->interpreter, name);
  EXPECT_EQ(line->argument, std::string(255 - 3 - name.size(), 'a'));
  // A name that does not end within the buffer may have been cut: no script.
  EXPECT_FALSE(parse_interpreter_line("#!/" + std::string(300, 'n') + "\n"));
}

// What the kernel does with a script whose first line is `head`: the interpreter's arguments
// before the script's path as "[argument]", or "error N" when the exec fails. The interpreter
// is a shell script that prints them.
std::string kernel_runs(const std::string& script, const std::string& head) {
  std::ofstream(script, std::ios::binary | std::ios::trunc) << head << "\nbody\n";
  ::chmod(script.c_str(), 0755);
  int out[2];
  if (::pipe(out) != 0) return "no pipe";
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out[1], 1);
    char* argv[] = {const_cast<char*>(script.c_str()), nullptr};
    char* envp[] = {nullptr};
    ::execve(script.c_str(), argv, envp);
    ::dprintf(1, "error %d", errno);
    ::_exit(127);
  }
  ::close(out[1]);
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) text.append(buffer, n);
  ::close(out[0]);
  ::waitpid(pid, nullptr, 0);
  const std::size_t path = text.rfind("[" + script + "]");
  return path == std::string::npos ? text : text.substr(0, path);
}

// Interpreter paths around the buffer's length, each followed by what the kernel keeps or cuts.
TEST(InterpreterLine, AgreesWithTheKernelAtTheBuffersEnd) {
  char base_template[] = "/tmp/sr-shebang-XXXXXX";
  const std::string base = ::mkdtemp(base_template);
  const std::string script = base + "/script";
  for (std::size_t length = 250; length <= 260; ++length) {
    const std::string dir = base + "/" + std::string(length - base.size() - 14, 'd');
    const std::string interpreter = dir + "/scriptrunner";
    std::filesystem::create_directory(dir);
    std::ofstream(interpreter) << "#!/bin/sh\nfor a; do printf '[%s]' \"$a\"; done\n";
    ::chmod(interpreter.c_str(), 0755);
    for (const char* rest : {"", " -w", "\t-w -f", " ", "  -w  ", " -w -f -p -c"}) {
      for (const char* lead : {"", " "}) {
        const std::string head = std::string("#!") + lead + interpreter + rest;
        SCOPED_TRACE(std::to_string(length) + " bytes, then \"" + rest + "\", lead \"" + lead +
                     "\"");
        const std::string kernel = kernel_runs(script, head);
        const std::optional<InterpreterLine> line = parse_interpreter_line(head + "\nbody\n");
        if (kernel.starts_with("error ")) {
          EXPECT_TRUE(!line || line->interpreter != interpreter) << kernel;
        } else {
          EXPECT_TRUE(line) << "the kernel ran it: " << kernel;
          EXPECT_EQ(line ? line->interpreter : "", interpreter);
          EXPECT_EQ(line && line->argument ? "[" + *line->argument + "]" : "", kernel);
        }
      }
    }
  }
  std::filesystem::remove_all(base);
}

class ScriptCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/sr-fcgi-check-XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    dir_ = templ;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string write(const std::string& name, const std::string& text, mode_t mode) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path) << text;
    chmod(path.c_str(), mode);
    return path;
  }
  std::string dir_;
};

TEST_F(ScriptCheck, BuildsTheKernelsArgumentVector) {
  const std::string with = write("with", "#!/opt/sr/scriptrunner -w -f\nx\n", 0755);
  EXPECT_EQ(check_script(with).argv,
            (std::vector<std::string>{"/opt/sr/scriptrunner", "-w -f", with}));
  const std::string without = write("without", "#!/opt/sr/scriptrunner\nx\n", 0700);
  EXPECT_EQ(check_script(without).argv,
            (std::vector<std::string>{"/opt/sr/scriptrunner", without}));
  EXPECT_EQ(check_script(without).refusal, "");
}

TEST_F(ScriptCheck, RefusesWhatTheRunnerMustNotCompile) {
  mkdir((dir_ + "/folder").c_str(), 0755);
  mkfifo((dir_ + "/fifo").c_str(), 0755);
  symlink("/dev/zero", (dir_ + "/device").c_str());
  const struct {
    const char* name;
    std::string path;
    std::string message;
  } rows[] = {
      {"missing", dir_ + "/missing", "The script cannot be found: "},
      {"empty name", "", "The script cannot be found: "},
      {"directory", dir_ + "/folder", "The script is not a regular file: "},
      {"named pipe", dir_ + "/fifo", "The script is not a regular file: "},
      {"device behind a link", dir_ + "/device", "The script is not a regular file: "},
      {"no execute bit", write("plain", "#!/x/scriptrunner -w\n", 0644),
       "The script is not executable: "},
      {"foreign interpreter", write("shell", "#!/bin/sh\necho hi\n", 0755),
       "The script's first line does not name scriptrunner: "},
      {"name only ends like it", write("similar", "#!/x/myscriptrunner\n", 0755),
       "The script's first line does not name scriptrunner: "},
      {"uploaded text", write("text", "just text\n", 0755),
       "The script's first line does not name scriptrunner: "},
      {"empty file", write("empty", "", 0755),
       "The script's first line does not name scriptrunner: "},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const ScriptLaunch launch = check_script(row.path);
    EXPECT_EQ(launch.refusal, row.message + row.path);
    EXPECT_TRUE(launch.argv.empty());
  }
}

// What the server remembers of a script holds only while nothing shows a change: each edit
// below takes the check again and drops the decision kept with it, even with the modification
// time put back.
TEST_F(ScriptCheck, TheMemoChecksAgainAfterAnyChangeOfTheFile) {
  const std::string script = write("memo", "#!/x/scriptrunner -w\nx\n", 0755);
  const auto put_back_time = [&](const struct stat& before) {
    const timespec times[2] = {before.st_atim, before.st_mtim};
    utimensat(AT_FDCWD, script.c_str(), times, 0);
  };
  const struct {
    const char* name;
    std::function<void()> edit;
    std::string refusal;  // what the check then says
  } rows[] = {
      {"execute bits taken", [&] { chmod(script.c_str(), 0644); },
       "The script is not executable: "},
      {"execute bits back", [&] { chmod(script.c_str(), 0755); }, ""},
      {"first line edited in place",
       [&] {
         struct stat before {};
         stat(script.c_str(), &before);
         std::fstream(script, std::ios::in | std::ios::out) << "#!/x/scriptrunnex";
         put_back_time(before);
       },
       "The script's first line does not name scriptrunner: "},
      {"replaced by a good file",
       [&] {
         const std::string other = write("other", "#!/y/scriptrunner\n", 0755);
         rename(other.c_str(), script.c_str());
       },
       ""},
  };
  WarmMemo memo;
  WarmMemo::Entry* entry = nullptr;
  ASSERT_EQ(memo.check(script, entry).refusal, "");
  ASSERT_NE(entry, nullptr);
  entry->decision.emplace();
  EXPECT_EQ(memo.check(script, entry).argv,
            (std::vector<std::string>{"/x/scriptrunner", "-w", script}));
  ASSERT_NE(entry, nullptr);
  EXPECT_TRUE(entry->decision.has_value()) << "unchanged, it is remembered";
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    if (entry != nullptr) entry->decision.emplace();
    row.edit();
    const ScriptLaunch launch = memo.check(script, entry);
    EXPECT_EQ(launch.refusal, row.refusal.empty() ? "" : row.refusal + script);
    EXPECT_EQ(entry != nullptr, row.refusal.empty());
    if (entry != nullptr) {
      EXPECT_FALSE(entry->decision.has_value());
    }
  }
  EXPECT_EQ(memo.check(script, entry).argv, (std::vector<std::string>{"/y/scriptrunner", script}));
}

}  // namespace
}  // namespace sr::fcgi
