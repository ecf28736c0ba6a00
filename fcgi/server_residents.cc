// Resident processes: an executable that declares resident mode is started once and then handed
// warm request after warm request of its own file, each with the request's own pipes, so that the
// relay, back-pressure, time-out and abort are the same as for a run in a process of its own.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "compiler/resident_mark.h"
#include "fcgi/resident_link.h"
#include "fcgi/server.h"
#include "runtime/process/pipe_ends.h"

namespace sr::fcgi {
namespace {

// How long a retired process may take to finish an answer it is writing: long for a write
// into a socket with room for it.
constexpr int kAnswerWaitMs = 100;
constexpr std::chrono::milliseconds kAnswerWait(kAnswerWaitMs);

// The checked file is open for execution only (O_PATH); its mark is read through a descriptor
// for reading of that same file, never by its name, which may name another file by now.
bool declares_resident_mode(int executable) {
  const std::string same_file = "/proc/self/fd/" + std::to_string(executable);
  const UniqueFd readable(::open(same_file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  return readable && zr::declares_resident_mode(readable.get());
}

}  // namespace
bool Server::hand_to_resident(WarmRun& warm, RequestEnvironment& environment, Client& client,
                              Job& job) {
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
  PipeEnds input;
  if (takes_body ? !make_pipe(input, OwnEnd::write) : !null_input_) return false;
  const std::vector<char*> entries = environment.entries();
  const bool lend = may_lend_connection(client, warm);
  ResidentRequest request{{takes_body ? input.read.get() : null_input_.get(),
                           process->output.write.get(), process->error.write.get()},
                          lend ? client.conn.fd() : -1,
                          lend ? client.conn.request->id : std::uint16_t{0},
                          lend && !client.conn.request->keep_conn,
                          warm.start.directory,
                          &warm.start.arguments,
                          &entries};
  if (!send_resident_request(process->socket.get(), request)) {
    retire(*process, true);
    return false;
  }
  job.connection_lent = lend;
  client.lent = client.lent || lend;
  job.worker.pid = process->pid;
  job.worker.input = std::move(input.write);
  lend_pipes(*process, job);
  job.process = process;
  job.direct = job.resident = true;
  job.body_left = warm.content_length;
  process->job = &job;
  return true;
}

bool Server::may_lend_connection(const Client& client, const WarmRun& warm) const {
  const Connection& conn = client.conn;
  // A negative length is answered with a warning line from the server; a TCP socket may take
  // an answer in pieces between which the server's writes could land.
  return unix_connections_ && conn.request && !conn.request->sent_stdout &&
         !conn.request->sent_stderr && conn.pending_output() == 0 && warm.content_length >= 0;
}

bool Server::settle_lent_connection(Job& job) {
  if (!job.connection_lent || job.process == nullptr || !job.process->socket) return false;
  Process& process = *job.process;
  ResidentReply reply;
  if (read_resident_reply(process.socket.get(), process.reply, reply) != ReplyRead::ended)
    return false;
  resident_run_ended(process, reply);
  return true;
}

bool Server::idle(const Process& process) {
  return process.resident && process.job == nullptr && process.lent_to == nullptr &&
         !process.leaving;
}

void Server::lend_pipes(Process& process, Job& job) {
  job.worker.output = std::move(process.output.read);
  job.worker.error = std::move(process.error.read);
  job.output_at = &process.output_watch;
  job.error_at = &process.error_watch;
  job.lent_from = &process;
  process.lent_to = &job;
}

void Server::close_pipe(Job& job, UniqueFd& fd) {
  Process* process = job.lent_from;
  if (process == nullptr) {
    unwatch(fd);
    return;
  }
  (&fd == &job.worker.output ? process->output.read : process->error.read) = std::move(fd);
  if (job.worker.output || job.worker.error) return;
  job.lent_from = nullptr;
  job.output_at = &job.output_watch;
  job.error_at = &job.error_watch;
  process->lent_to = nullptr;
  const bool served_its_number =
      options_.max_requests > 0 && process->served >= options_.max_requests;
  if (process->retire_when_idle || served_its_number || shutting_down_) {
    retire(*process);
  }
}

void Server::keep_lent_pipes(Process& process) {
  Job* job = process.lent_to;
  unwatch(process.output.read);
  unwatch(process.error.read);
  process.output.write.reset();
  process.error.write.reset();
  if (job == nullptr) return;
  process.lent_to = nullptr;
  job->lent_from = nullptr;
  // Watched from now on through the job's own watches, as the process is about to go.
  for (const bool error_pipe : {false, true}) {
    const UniqueFd& fd = error_pipe ? job->worker.error : job->worker.output;
    Watch& own = error_pipe ? job->error_watch : job->output_watch;
    Watch*& at = error_pipe ? job->error_at : job->output_at;
    own.events = at->events;
    at = &own;
    if (!fd) continue;
    epoll_event event{};
    event.events = own.events;
    event.data.ptr = &own;
    ::epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, fd.get(), &event);
  }
}

void Server::on_resident_pipe(Process& process, bool error_pipe, int max_reads) {
  if (Job* job = process.lent_to) {
    drain_pipe(*job, error_pipe, max_reads);
    try_finish(*job);
    return;
  }
  // Its run's event, when an earlier event of this batch drained the pipes: nothing is there.
  const UniqueFd& fd = error_pipe ? process.error.read : process.output.read;
  if (!process.socket || bytes_in_pipe(fd) == 0) return;
  // An idle process has nothing to write: one that does gets no other request.
  retire(process);
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
      if (idle(*process)) {
        replaced.push_back(process.get());
      } else {
        process->retire_when_idle = true;
      }
    } else if (idle(*process) && !process->retire_when_idle && found == nullptr) {
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
  if (!make_pipe(process->output, OwnEnd::read) || !make_pipe(process->error, OwnEnd::read)) {
    ::kill(-process->pid, SIGKILL);
    int status = 0;
    while (::waitpid(process->pid, &status, 0) < 0 && errno == EINTR) {
    }
    return nullptr;
  }
  watch(process->output.read.get(), process->output_watch, EPOLLIN);
  watch(process->error.read.get(), process->error_watch, EPOLLIN);
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
    if (idle(*process) && (oldest == nullptr || process->idle_since < oldest->idle_since)) {
      oldest = process.get();
    }
  }
  if (oldest == nullptr) return false;
  retire(*oldest, true);
  return true;
}

void Server::on_resident_socket(Process& process) {
  // Collected or stopped earlier in this batch of events.
  if (!process.socket) return;
  Job* job = process.job;
  ResidentReply reply;
  const ReplyRead read = job == nullptr
                             ? ReplyRead::broken
                             : read_resident_reply(process.socket.get(), process.reply, reply);
  if (read == ReplyRead::incomplete) return;
  if (read == ReplyRead::ended) {
    resident_run_ended(process, reply);
    return;
  }
  if (job == nullptr) {
    // An event of this batch whose reply an earlier event took (its client went first): nothing
    // is there. Anything else, bytes or the socket's end, means it cannot serve another request.
    char byte;
    const ssize_t n = ::recv(process.socket.get(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    retire(process);
    return;
  }
  // Killed with its request, it has gone without replying: it is collected as it exits.
  if (job->stopped) {
    unwatch(process.socket);
    return;
  }
  // A process that broke off the protocol mid-run is stopped; its request ends when it has gone,
  // as that of a process of its own that died.
  log_message("a resident process broke off its reply; stopping process group " +
              std::to_string(process.pid));
  ::kill(-process.pid, SIGKILL);
  unwatch(process.socket);
}

void Server::resident_run_ended(Process& process, ResidentReply& reply) {
  Job& job = *process.job;
  process.job = nullptr;
  job.process = nullptr;
  process.reply.clear();
  process.idle_since = Clock::now();
  ++process.served;
  // Exactly what the run wrote is read of its pipes: no read looks for an end that a kept pipe
  // never gives. A process that read as having written less than it says is not trusted again.
  const auto left = [&](std::uint64_t written, std::int64_t taken) -> std::int64_t {
    if (written < static_cast<std::uint64_t>(taken) || written > (std::uint64_t{1} << 62)) {
      process.retire_when_idle = true;
      return 0;
    }
    return static_cast<std::int64_t>(written) - taken;
  };
  job.output_left = left(reply.output_bytes, job.output_taken);
  job.error_left = left(reply.error_bytes, job.error_taken);
  // All it wrote reached its pipes before it replied, whichever event is read first: a pipe that
  // holds other than the rest of its count is of a process that miscounted. What it holds is
  // this run's alone, as the process serves no other.
  for (const bool error_pipe : {false, true}) {
    std::int64_t& rest = error_pipe ? job.error_left : job.output_left;
    const long held = bytes_in_pipe(error_pipe ? job.worker.error : job.worker.output);
    if (held == rest) continue;
    process.retire_when_idle = true;
    rest = held;
  }
  job.last_output = std::move(reply.last_output);
  job.answered = reply.delivered;
  process.answered_last = reply.delivered;
  if (reply.delivered) {
    job.bytes_out += reply.delivered_bytes;
    // It answered where the server may have written too: the connection cannot be trusted.
    if (!job.connection_lent || job.output_taken != 0 || job.error_taken != 0 ||
        reply.output_bytes != 0 || reply.error_bytes != 0) {
      job.answer_unsure = true;
      process.retire_when_idle = true;
    }
  }
  job.connection_lent = false;
  // Free once the run's pipes are drained and back (close_pipe).
  end_run(job);
}

void Server::let_finish_answer(const Process& process) {
  // The end of its socket ends its wait for a request once the answer is written, which takes
  // no time: nothing else was written on that connection meanwhile, so the answer fits there.
  ::shutdown(process.socket.get(), SHUT_RDWR);
  const UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, process.pid, 0)));
  pollfd ended{pidfd.get(), POLLIN, 0};
  if (pidfd) ::poll(&ended, 1, kAnswerWaitMs);
}

void Server::send_away(Process& process) {
  // The end of its socket ends its wait for the next request once the answer is written.
  unwatch(process.socket);
  keep_lent_pipes(process);
  process.leaving = true;
  process.leave_by = Clock::now() + kAnswerWait;
  ++leaving_;
}

void Server::kill_late_leavers(Clock::time_point now) {
  if (leaving_ == 0) return;
  for (auto& [pid, process] : processes_) {
    if (process->leave_by > now) continue;
    ::kill(-pid, SIGKILL);
    process->leave_by = Clock::time_point::max();
  }
}

void Server::retire(Process& process, bool now) {
  if (process.leaving) return;
  // An idle process waits for its next request and holds nothing that a kill could lose, but
  // for an answer it may still be writing. Waited for, it would hold up every other request.
  if (process.job == nullptr && process.answered_last && process.socket) {
    if (!now) {
      send_away(process);
      return;
    }
    let_finish_answer(process);
  }
  ::kill(-process.pid, SIGKILL);
  keep_lent_pipes(process);
  int status = 0;
  while (::waitpid(process.pid, &status, 0) < 0 && errno == EINTR) {
  }
  Job* job = process.job;
  auto found = processes_.find(process.pid);
  if (found == processes_.end()) {
    unwatch(process.socket);
    return;
  }
  dead_processes_.push_back(std::move(found->second));
  processes_.erase(found);
  const bool replied = job != nullptr && settle_lent_connection(*job);
  unwatch(process.socket);
  if (job != nullptr && !replied) end_run(*job);
}

void Server::retire_idle(Clock::time_point idle_before) {
  std::vector<Process*> expired;
  for (auto& [pid, process] : processes_) {
    if (idle(*process) && process->idle_since <= idle_before) expired.push_back(process.get());
  }
  for (Process* process : expired) retire(*process);
}

Server::Clock::time_point Server::next_process_deadline() const {
  Clock::time_point next = Clock::time_point::max();
  for (const auto& [pid, process] : processes_) {
    next = std::min(next, process->leave_by);
    if (idle(*process) && options_.resident_idle_seconds > 0) {
      next = std::min(next,
                      process->idle_since + std::chrono::seconds(options_.resident_idle_seconds));
    }
  }
  return next;
}

}  // namespace sr::fcgi
