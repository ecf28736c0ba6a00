// start_program: the search, the argument vector, the pipes, the fork and the record.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "runtime/files/full_io.h"
#include "runtime/process/arguments.h"
#include "runtime/process/child_side.h"
#include "runtime/process/program_record.h"
#include "runtime/process/program_search.h"
#include "runtime/process/reaper.h"

namespace sr {
namespace {

// The program name and the split argument string, terminated, in one buffer cut in place.
struct LaunchText {
  std::string buffer;
  char* arguments[kArgumentSlots];

  LaunchText(std::string_view program, std::string_view args) {
    buffer.reserve(program.size() + args.size() + 2);
    buffer.append(program).push_back('\0');
    buffer.append(args).push_back('\0');
    char* base = buffer.data();
    arguments[0] = base;
    int count = split_arguments_in_place(base + program.size() + 1, arguments + 1, kMaxArguments);
    arguments[count + 1] = nullptr;
  }
};

[[noreturn]] void run_intermediate(const ChildSetup& setup, PipeEnds& pid_pipe) {
  ::close(pid_pipe.read.get());
  pid_t pid = ::fork();
  if (pid == 0) run_child(setup);
  if (pid < 0) ::_exit(1);
  const std::int32_t value = pid;
  ::_exit(write_full(pid_pipe.write.get(), &value, sizeof value) == sizeof value ? 0 : 1);
}

// The program runs as a grandchild that nobody waits for, so it never becomes our zombie.
ProgramHandle start_detached(const ChildSetup& setup) {
  PipeEnds pid_pipe;
  if (!make_pipe(pid_pipe, OwnEnd::none)) return 0;
  sigset_t all, saved;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &saved);
  pid_t middle = ::fork();
  if (middle == 0) run_intermediate(setup, pid_pipe);
  ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  if (middle < 0) return 0;
  pid_pipe.write.reset();
  std::int32_t pid = -1;
  if (read_full(pid_pipe.read.get(), &pid, sizeof pid) != sizeof pid) pid = -1;
  int status;
  if (!collect_status(middle, status)) return 0;
  return pid < 0 ? 0 : 1;
}

ProgramHandle start_unopened(const ChildSetup& setup, bool wait) {
  if (!wait) return start_detached(setup);
  pid_t pid = fork_child(setup);
  if (pid < 0) return 0;
  int status;
  collect_status(pid, status);
  return 1;
}

struct OpenPipes {
  PipeEnds output, input, error;
};

bool make_pipes(int flags, OpenPipes& pipes, ChildSetup& setup) {
  if (flags & ProgramFlag::read) {
    if (!make_pipe(pipes.output, OwnEnd::read)) return false;
    setup.output = pipes.output.write.get();
  }
  if (flags & ProgramFlag::write) {
    if (!make_pipe(pipes.input, OwnEnd::write)) return false;
    setup.input = pipes.input.read.get();
  }
  if (flags & ProgramFlag::error) {
    if (!make_pipe(pipes.error, OwnEnd::read)) return false;
    setup.error = pipes.error.write.get();
  }
  return true;
}

void keep_own_ends(OpenPipes& pipes, ChildProgram& program) {
  if (pipes.output.read) program.output.emplace(std::move(pipes.output.read));
  if (pipes.input.write) program.input.emplace(std::move(pipes.input.write));
  if (pipes.error.read) program.error.emplace(std::move(pipes.error.read));
  pipes.output.write.reset();
  pipes.input.read.reset();
  pipes.error.write.reset();
}

// The errno that a failed exec wrote to the report pipe, 0 when the exec succeeded (it closed the
// pipe unwritten) or when the child died before it could tell.
int read_exec_report(UniqueFd& report) {
  int error = 0;
  if (!report || read_full(report.get(), &error, sizeof error) != sizeof error) error = 0;
  report.reset();
  return error;
}

ProgramHandle start_opened(ChildSetup& setup, int flags, ProgramHandle source,
                           int* exec_error = nullptr) {
  std::unique_ptr<ChildProgram> program(new (std::nothrow) ChildProgram);
  OpenPipes pipes;
  if (!program || !make_pipes(flags, pipes, setup)) return 0;
  ChildProgram* from = program_of(source);
  if ((flags & ProgramFlag::connect) && from && from->output) {
    setup.connect = from->output->fd();
    from->output->share_descriptor();
  }
  UniqueFd report_read, report_write;
  if (exec_error) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return 0;
    report_read.reset(ends[0]);
    report_write.reset(ends[1]);
    setup.exec_report = ends[1];
  }
  pid_t pid = fork_child(setup);
  report_write.reset();
  if (pid < 0) return 0;
  if (exec_error && (*exec_error = read_exec_report(report_read)) != 0) {
    int status;
    collect_status(pid, status);
    return 0;
  }
  program->pid = pid;
  keep_own_ends(pipes, *program);
  ChildProgram* record = program.release();
  register_program(record);
  if (flags & ProgramFlag::wait) {
    int status;
    collect_status(pid, status);
    std::lock_guard lock(registry_mutex());
    // Its end descriptor is readable from the start, as the code is there at once.
    make_pipe(record->ended, OwnEnd::both);
    store_exit_code(*record, status);
  } else if (!watch_program_end(*record)) {
    // Nobody could ever collect it: end it now rather than hand out a program that never ends.
    ::kill(pid, SIGKILL);
    int status;
    collect_status(pid, status);
    close_program(handle_of(record));
    return 0;
  }
  return handle_of(record);
}

// The arguments of one start, as the new process needs them: terminated texts in one buffer.
struct LaunchArguments {
  std::string buffer;
  std::vector<char*> pointers;
};

// Whole arguments, never split: a path may hold blanks and double quotes.
LaunchArguments whole_arguments(std::string_view program, const std::vector<std::string>& args) {
  LaunchArguments launch;
  std::size_t size = program.size() + 1;
  for (const std::string& a : args) size += a.size() + 1;
  launch.buffer.reserve(size);
  launch.buffer.append(program).push_back('\0');
  for (const std::string& a : args) launch.buffer.append(a).push_back('\0');
  char* text = launch.buffer.data();
  const std::size_t count = std::min<std::size_t>(args.size(), kMaxArguments) + 1;
  for (std::size_t i = 0; i < count; ++i) {
    launch.pointers.push_back(text);
    text += std::char_traits<char>::length(text) + 1;
  }
  launch.pointers.push_back(nullptr);
  return launch;
}

// The search, then the start with `arguments` (null-terminated, entry 0 the program).
ProgramHandle launch(std::string_view program, char** arguments, std::string_view directory,
                     int flags, ProgramHandle source, char** environment = nullptr) {
  char found[PATH_MAX];
  if (!find_program(program, found, sizeof found)) return 0;
  // The new process enters `directory` before it executes: a relative name must still mean the
  // file that was tested here.
  if (!directory.empty() && !anchor_to_current_directory(found, sizeof found)) return 0;
  const std::string dir(directory);
  ChildSetup setup;
  // Execute the file that passed the search: a library search could pick another one (an
  // empty PATH piece means the current directory to it).
  setup.file = found;
  setup.arguments = arguments;
  setup.directory = dir.empty() ? nullptr : dir.c_str();
  setup.environment = environment;
  if (!(flags & ProgramFlag::open)) return start_unopened(setup, flags & ProgramFlag::wait);
  return start_opened(setup, flags, source);
}

}  // namespace

ProgramHandle start_program_file(int executable, std::string_view program,
                                 std::string_view arguments, std::string_view directory, int flags,
                                 int& exec_error) {
  exec_error = 0;
  if (!(flags & ProgramFlag::open)) return 0;
  LaunchText text(program, arguments);
  const std::string dir(directory);
  ChildSetup setup;
  setup.executable = executable;
  setup.arguments = text.arguments;
  setup.directory = dir.empty() ? nullptr : dir.c_str();
  return start_opened(setup, flags, 0, &exec_error);
}

ProgramHandle start_program(std::string_view program, std::string_view arguments,
                            std::string_view directory, int flags, ProgramHandle source) {
  LaunchText text(program, arguments);
  return launch(program, text.arguments, directory, flags, source);
}

ProgramHandle start_program_with_arguments(std::string_view program,
                                           const std::vector<std::string>& arguments,
                                           std::string_view directory, int flags,
                                           ProgramHandle source) {
  LaunchArguments launch_arguments = whole_arguments(program, arguments);
  return launch(program, launch_arguments.pointers.data(), directory, flags, source);
}

ProgramHandle start_program_in_environment(std::string_view program,
                                           const std::vector<std::string>& arguments,
                                           std::string_view directory, int flags,
                                           const std::vector<std::string>& environment) {
  LaunchArguments launch_arguments = whole_arguments(program, arguments);
  std::vector<std::string> entries = environment;
  std::vector<char*> pointers;
  pointers.reserve(entries.size() + 1);
  for (std::string& entry : entries) pointers.push_back(entry.data());
  pointers.push_back(nullptr);
  return launch(program, launch_arguments.pointers.data(), directory, flags, 0, pointers.data());
}

}  // namespace sr
