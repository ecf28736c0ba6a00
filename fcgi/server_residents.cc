// Resident processes: an executable that declares resident mode is started once and then handed
// warm request after warm request of its own file, each with the request's own pipes, so that the
// relay, back-pressure, time-out and abort are the same as for a run in a process of its own.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/wait.h>

#include <algorithm>

#include "compiler/resident_mark.h"
#include "fcgi/resident_link.h"
#include "fcgi/server.h"
#include "runtime/process/pipe_ends.h"

namespace sr::fcgi {
namespace {

// The checked file is open for execution only (O_PATH); its mark is read through a descriptor
// for reading of that same file, never by its name, which may name another file by now.
bool declares_resident_mode(int executable) {
  const std::string same_file = "/proc/self/fd/" + std::to_string(executable);
  const UniqueFd readable(::open(same_file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  return readable && zr::declares_resident_mode(readable.get());
}

}  // namespace
bool Server::hand_to_resident(WarmRun& warm, RequestEnvironment& environment, Job& job) {
  const ExecutableIdentity& identity = warm.identity;
  const std::string& path = warm.start.arguments.front();
  // A process changes into the request's folder by its absolute name, never relative to the last.
  if (warm.start.directory.empty() || warm.start.directory[0] != '/') return false;
  // An idle process of that very file needs no descriptor of it: it runs the file, which so
  // cannot go, and its identity cannot come back on another file.
  Process* process = idle_resident(identity, path);
  if (process == nullptr) {
    if (!open_warm_executable(warm) || !resident_capable(warm.executable.get(), identity) ||
        !room_for_process())
      return false;
    process = start_resident_process(warm.executable.get(), identity, path);
    if (process == nullptr) return false;
  }
  // A run that takes no body reads the end at once: from /dev/null rather than a pipe of its own.
  // The server opened /dev/null at its start, before anything counts its descriptors.
  const bool takes_body = warm.content_length > 0;
  PipeEnds input, output, error;
  if ((takes_body ? !make_pipe(input, OwnEnd::write) : !null_input_) ||
      !make_pipe(output, OwnEnd::read) || !make_pipe(error, OwnEnd::read)) {
    return false;
  }
  const std::vector<char*> entries = environment.entries();
  ResidentRequest request{
      {takes_body ? input.read.get() : null_input_.get(), output.write.get(), error.write.get()},
      warm.start.directory,
      &warm.start.arguments,
      &entries};
  if (!send_resident_request(process->socket.get(), request)) {
    retire(*process);
    return false;
  }
  job.worker.pid = process->pid;
  job.worker.input = std::move(input.write);
  job.worker.output = std::move(output.read);
  job.worker.error = std::move(error.read);
  job.process = process;
  job.direct = job.resident = true;
  job.body_left = warm.content_length;
  process->job = &job;
  return true;
}

bool Server::resident_capable(int executable, const ExecutableIdentity& identity) {
  if (std::find(not_resident_.begin(), not_resident_.end(), identity) != not_resident_.end()) {
    return false;
  }
  if (declares_resident_mode(executable)) return true;
  // Remembered by identity, so that a file of another compiler costs no read per request; a
  // rebuilt file has another identity and is looked at afresh.
  if (not_resident_.size() >= kRememberedFiles) not_resident_.pop_front();
  not_resident_.push_back(identity);
  return false;
}

Server::Process* Server::idle_resident(const ExecutableIdentity& identity,
                                       const std::string& path) {
  Process* found = nullptr;
  std::vector<Process*> replaced;
  for (auto& [pid, process] : processes_) {
    if (!process->resident || process->executable_path != path) continue;
    if (process->identity != identity) {
      // The cache name now holds another file: its old processes serve no more requests.
      if (process->job == nullptr) {
        replaced.push_back(process.get());
      } else {
        process->retire_when_idle = true;
      }
    } else if (process->job == nullptr && !process->retire_when_idle && found == nullptr) {
      found = process.get();
    }
  }
  for (Process* process : replaced) retire(*process);
  return found;
}

Server::Process* Server::start_resident_process(int executable, const ExecutableIdentity& identity,
                                                const std::string& path) {
  auto process = std::make_unique<Process>();
  int exec_error = 0;
  if (!start_resident(executable, options_.memory_limit_bytes, process->pid, process->socket,
                      exec_error)) {
    return nullptr;
  }
  process->resident = true;
  process->idle_since = Clock::now();
  process->identity = identity;
  process->executable_path = path;
  // Readable only for the run's reply; at any other time it means the process has gone.
  watch(process->socket.get(), process->socket_watch, EPOLLIN);
  Process& started = *process;
  processes_.emplace(process->pid, std::move(process));
  return &started;
}

bool Server::room_for_process() {
  if (processes_.size() < static_cast<std::size_t>(options_.max_children)) return true;
  // The one idle the longest: the executable asked for least recently.
  Process* oldest = nullptr;
  for (auto& [pid, process] : processes_) {
    if (process->resident && process->job == nullptr &&
        (oldest == nullptr || process->idle_since < oldest->idle_since)) {
      oldest = process.get();
    }
  }
  if (oldest == nullptr) return false;
  retire(*oldest);
  return true;
}

void Server::on_resident_socket(Process& process) {
  // Collected or stopped earlier in this batch of events.
  if (!process.socket) return;
  Job* job = process.job;
  const ReplyRead read =
      job == nullptr ? ReplyRead::broken : read_resident_reply(process.socket.get(), process.reply);
  if (read == ReplyRead::incomplete) return;
  if (read == ReplyRead::ended) {
    resident_run_ended(process);
    return;
  }
  if (job == nullptr) {
    retire(process);
    return;
  }
  // A process that broke off the protocol mid-run is stopped; its request ends when it has gone,
  // as that of a process of its own that died.
  log_message("a resident process broke off its reply; stopping process group " +
              std::to_string(process.pid));
  ::kill(-process.pid, SIGKILL);
  unwatch(process.socket);
}

void Server::resident_run_ended(Process& process) {
  Job& job = *process.job;
  process.job = nullptr;
  job.process = nullptr;
  process.reply.clear();
  process.idle_since = Clock::now();
  ++process.served;
  if (process.retire_when_idle || process.served >= options_.max_requests || shutting_down_) {
    retire(process);
  }
  // Free before the run's pipes have drained, the process may take the next request meanwhile.
  end_run(job);
}

void Server::retire(Process& process) {
  // An idle process waits for its next request and holds nothing that a kill could lose.
  ::kill(-process.pid, SIGKILL);
  unwatch(process.socket);
  int status = 0;
  while (::waitpid(process.pid, &status, 0) < 0 && errno == EINTR) {
  }
  Job* job = process.job;
  auto found = processes_.find(process.pid);
  if (found == processes_.end()) return;
  dead_processes_.push_back(std::move(found->second));
  processes_.erase(found);
  if (job != nullptr) end_run(*job);
}

void Server::retire_idle(Clock::time_point idle_before) {
  std::vector<Process*> idle;
  for (auto& [pid, process] : processes_) {
    if (process->resident && process->job == nullptr && process->idle_since <= idle_before)
      idle.push_back(process.get());
  }
  for (Process* process : idle) retire(*process);
}

Server::Clock::time_point Server::next_idle_retirement() const {
  Clock::time_point next = Clock::time_point::max();
  if (options_.resident_idle_seconds <= 0) return next;
  for (const auto& [pid, process] : processes_) {
    if (process->resident && process->job == nullptr) {
      next = std::min(next,
                      process->idle_since + std::chrono::seconds(options_.resident_idle_seconds));
    }
  }
  return next;
}

}  // namespace sr::fcgi
