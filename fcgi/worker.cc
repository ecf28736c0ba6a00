#include "fcgi/worker.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "runtime/files/full_io.h"
#include "runtime/process/pipe_ends.h"

namespace sr::fcgi {
namespace {

// The errno of a failed exec, 0 once the exec succeeded (it closed the pipe unwritten).
int exec_report(UniqueFd& report) {
  int error = 0;
  if (read_full(report.get(), &error, sizeof error) != sizeof error) error = 0;
  return error;
}

}  // namespace

pid_t start_reported(ChildSetup& setup, int& exec_error) {
  exec_error = 0;
  PipeEnds report;
  if (!make_pipe(report, OwnEnd::none)) return -1;
  setup.exec_report = report.write.get();
  const pid_t pid = fork_child(setup);
  if (pid < 0) return -1;
  report.write.reset();
  if ((exec_error = exec_report(report.read)) != 0) {
    int status;
    ::waitpid(pid, &status, 0);
    return -1;
  }
  return pid;
}

bool start_worker(const WorkerStart& start, RequestEnvironment& environment, Worker& worker,
                  int& exec_error) {
  exec_error = 0;
  PipeEnds input, output, error;
  if (!make_pipe(input, OwnEnd::write) || !make_pipe(output, OwnEnd::read) ||
      !make_pipe(error, OwnEnd::read)) {
    return false;
  }
  std::vector<std::string> arguments = start.arguments;
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  std::vector<char*> envp = environment.entries();
  ChildSetup setup;
  setup.file = start.file.c_str();
  setup.executable = start.executable;
  setup.arguments = argv.data();
  setup.environment = envp.data();
  setup.directory = start.directory.empty() ? nullptr : start.directory.c_str();
  setup.input = input.read.get();
  setup.output = output.write.get();
  setup.error = error.write.get();
  setup.own_group = true;
  setup.address_space_limit = start.memory_limit;
  // The runner cleans up after itself and is let finish if the server dies; an executable that
  // the server runs in the runner's place dies with it, as it would with the runner.
  setup.outlives_parent = start.executable < 0;
  const pid_t pid = start_reported(setup, exec_error);
  if (pid < 0) return false;
  worker.pid = pid;
  worker.input = std::move(input.write);
  worker.output = std::move(output.read);
  worker.error = std::move(error.read);
  return true;
}

}  // namespace sr::fcgi
