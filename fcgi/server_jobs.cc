// The server's side of a request's worker: starting it, passing the body, relaying its output
// under back-pressure, stopping it, and ending the request once it is gone.
#include <errno.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "fcgi/params.h"
#include "fcgi/record.h"
#include "fcgi/server.h"
#include "fcgi/warm_run.h"
#include "runner/request_body.h"

namespace sr::fcgi {
namespace {

// Reads of each pipe when a worker has ended, before later events take the rest.
constexpr int kReadsPerExit = 64;
// Time between SIGTERM to a worker and SIGKILL to its whole process group.
constexpr std::chrono::milliseconds kKillGrace(2000);

}  // namespace

// The exit status of the process that stood for the runner. A direct run answers as the runner
// would have exited: 0 whatever the script's status, or by SIGTERM when it was stopped.
std::uint32_t Server::app_status(const Job& job) {
  if (job.direct) return job.stopped ? 128 + SIGTERM : 0;
  if (WIFEXITED(job.status)) return static_cast<std::uint32_t>(WEXITSTATUS(job.status));
  if (WIFSIGNALED(job.status)) return 128 + static_cast<std::uint32_t>(WTERMSIG(job.status));
  return 1;
}

void Server::request_ready(Client& client) {
  ++stats_.accepted_requests;
  Request& request = *client.conn.request;
  client.params.clear();
  client.params_bytes = std::move(request.params);
  request.params = std::string();
  if (!decode_name_values(client.params_bytes, client.params)) {
    ++stats_.ended.refused;
    malformed_log_.write("malformed params; connection closed");
    drop_client(client);
    return;
  }
  // Before the queue: the status page answers while every process is busy.
  if (answer_own_page(client)) return;
  client.ready_at = Clock::now();
  client.script.clear();
  for (const auto& [name, value] : client.params) {
    if (name == "SCRIPT_FILENAME") client.script = value;
  }
  // Served in the order the requests became ready, whichever connection they came on.
  client.queued = true;
  waiting_.push_back(&client);
  start_waiting();
  if (client.queued) {
    ++stats_.max_children_reached;
    stats_.max_waiting_requests =
        std::max<std::uint64_t>(stats_.max_waiting_requests, waiting_.size());
  }
}

void Server::start_waiting() {
  // A process sent away holds its place until it has gone.
  while (!waiting_.empty() &&
         jobs_.size() + leaving_ < static_cast<std::size_t>(options_.max_children)) {
    Client* client = waiting_.front();
    waiting_.pop_front();
    client->queued = false;
    if (!spawn(*client)) break;
  }
  update_listener();
}

bool Server::spawn(Client& client) {
  RequestEnvironment environment = request_environment(client.params, options_.env);
  WarmMemo::Entry* remembered = nullptr;
  const ScriptLaunch launch = warm_memo_.check(environment.get("SCRIPT_FILENAME"), remembered);
  if (!launch.refusal.empty()) {
    // What the runner's fatal failures give without -w: one log line and no response.
    ++stats_.ended.refused;
    end_unstarted(client, launch.refusal, 0);
    return true;
  }
  auto job = std::make_unique<Job>();
  if (!start_job(environment, launch.argv, remembered ? &remembered->decision : nullptr, client,
                 *job)) {
    // Every place is held by a running request or a process sent away that is about to go: the
    // request waits for that, first in line.
    if (leaving_ > 0 && processes_.size() >= static_cast<std::size_t>(options_.max_children)) {
      client.queued = true;
      waiting_.push_front(&client);
      return false;
    }
    log_message(std::string("cannot start a worker: ") + std::strerror(errno));
    ++stats_.ended.failed;
    end_unstarted(client, "The request cannot be served now: no process.", 1);
    return true;
  }
  client.params = NameValuePairs();
  client.params_bytes = std::string();
  job->script = std::move(client.script);
  job->ready_at = client.ready_at;
  if (options_.slow_log_seconds > 0) {
    job->slow_at = job->ready_at + std::chrono::seconds(options_.slow_log_seconds);
  }
  if (options_.timeout_seconds > 0) {
    job->timeout_at = Clock::now() + std::chrono::seconds(options_.timeout_seconds);
  }
  job->client = &client;
  client.job = job.get();
  if (job->lent_from == nullptr) {
    watch(job->worker.output.get(), job->output_watch, EPOLLIN);
    watch(job->worker.error.get(), job->error_watch, EPOLLIN);
  }
  if (job->worker.input) watch(job->worker.input.get(), job->input_watch, 0);
  if (job->direct && job->body_left <= 0) {
    // As the runner does it: a script that reads gets the end at once; a length that came out
    // negative is refused with a warning.
    if (job->body_left < 0) {
      client.conn.append_output(kStderr, std::string(kRefusedBodyWarning) + "\n");
    }
    job->body_left = 0;
    unwatch(job->worker.input);
  }
  Job& started = *job;
  if (!started.resident) add_own_process(started);
  jobs_.emplace(job.get(), std::move(job));
  update_listener();
  pass_body(client);
  update_pipe_events(started);
  return true;
}

bool Server::start_job(RequestEnvironment& environment, const std::vector<std::string>& argv,
                       std::optional<DecisionStamps>* remembered, Client& client, Job& job) {
  int exec_error = 0;
  environment.checkpoint();
  if (std::optional<WarmRun> warm = prepare_warm_run(environment, argv, runner_path_, remembered)) {
    warm->start.memory_limit = options_.memory_limit_bytes;
    if (options_.resident && hand_to_resident(*warm, environment, client, job)) {
      ++stats_.cache_hits;
      return true;
    }
    if (open_warm_executable(*warm) && room_for_process() &&
        start_worker(warm->start, environment, job.worker, exec_error)) {
      ++stats_.cache_hits;
      job.direct = true;
      job.body_left = warm->content_length;
      return true;
    }
  }
  // A file that the system refuses to start: the runner says why, as under CGI. It makes the
  // exports itself.
  environment.rollback();
  if (!options_.env.empty()) {
    // Set last, so that no request can name them: the variables that the runner passes on to
    // the compiler and upx.
    std::string names;
    for (const auto& [name, value] : options_.env) names += (names.empty() ? "" : " ") + name;
    environment.set("ZR_Interpreter_ToolEnv", names);
  }
  WorkerStart runner;
  runner.file = runner_path_;
  runner.arguments = argv;
  runner.memory_limit = options_.memory_limit_bytes;
  // Every process counts against --max-children; an idle resident one makes room.
  if (!room_for_process()) {
    errno = EAGAIN;
    return false;
  }
  if (start_worker(runner, environment, job.worker, exec_error)) {
    ++stats_.cache_builds;
    return true;
  }
  if (exec_error != 0) errno = exec_error;
  return false;
}

void Server::add_own_process(Job& job) {
  auto process = std::make_unique<Process>();
  process->pid = job.worker.pid;
  process->job = &job;
  job.process = process.get();
  processes_.emplace(job.worker.pid, std::move(process));
}

void Server::refuse_params(Client& client) {
  ++stats_.accepted_requests;
  ++stats_.ended.refused;
  const std::string refusal = client.conn.request->refusal;
  end_unstarted(client,
                "The request cannot be served: its parameters exceed what the runner can be "
                "started with (" +
                    refusal + ").",
                1);
}

void Server::end_unstarted(Client& client, const std::string& error_line, std::uint32_t status) {
  client.conn.append_output(kStderr, error_line + "\n");
  client.conn.end_request(status);
  write_client(client);
}

void Server::pass_body(Client& client) {
  Job* job = client.job;
  if (job == nullptr || !client.conn.request) return;
  Request& request = *client.conn.request;
  UniqueFd& input = job->worker.input;
  if (!input) request.body.clear();
  // The runner takes the whole body and counts for itself; a direct run gets what the runner
  // would pass it: the declared length, or less when the body ends first.
  const std::size_t wanted = job->direct
                                 ? std::min<std::size_t>(request.body.size(), job->body_left)
                                 : request.body.size();
  std::size_t passed = 0;
  while (input && passed < wanted) {
    const ssize_t n = ::write(input.get(), request.body.data() + passed, wanted - passed);
    if (n > 0) {
      passed += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    // The process no longer reads its input; the rest of the body has nowhere to go.
    unwatch(input);
  }
  if (job->direct) {
    job->body_left -= static_cast<std::int64_t>(passed);
    if (job->body_left == 0) unwatch(input);
  }
  request.body.erase(0, input ? passed : request.body.size());
  if (input && request.body.empty() && request.body_done) unwatch(input);
  if (input)
    set_events(input.get(), job->input_watch, request.body.empty() ? 0u : std::uint32_t{EPOLLOUT});
  update_socket_events(client);
}

void Server::abort_request(Client& client) {
  if (Job* job = client.job) {
    stop_job(*job);
    try_finish(*job);
    return;
  }
  // Not started yet: nothing to stop.
  if (client.queued) {
    waiting_.erase(std::find(waiting_.begin(), waiting_.end(), &client));
    client.queued = false;
    ++stats_.ended.aborted;
  }
  client.conn.end_request(0);
  write_client(client);
}

bool Server::delivering(const Job& job) const {
  return job.client != nullptr && job.client->conn.open() && !job.stopped;
}

void Server::drain_pipe(Job& job, bool error_pipe, int max_reads) {
  UniqueFd& fd = error_pipe ? job.worker.error : job.worker.output;
  std::int64_t& left = error_pipe ? job.error_left : job.output_left;
  // A lent pipe gives no end of file: once its run has replied, it is read to its end at once,
  // as no later event may come for it. That is at most one pipe's capacity more to hold.
  const bool last_of_lent = job.lent_from != nullptr && job.state == RunState::ended;
  for (int i = 0; i < max_reads && fd; ++i) {
    if (!last_of_lent && !job.connection_lent && delivering(job) &&
        job.client->conn.pending_output() >= kOutputLimit)
      break;
    if (left == 0) {
      // All that its run wrote has been read.
      close_pipe(job, fd);
      break;
    }
    const std::size_t size =
        left < 0 ? pipe_buffer_.size() : std::min<std::size_t>(pipe_buffer_.size(), left);
    const ssize_t n = ::read(fd.get(), pipe_buffer_.data(), size);
    if (n > 0) {
      // A run that wrote to a pipe does not answer on the connection: the server does.
      job.connection_lent = false;
      if (left > 0) left -= n;
      (error_pipe ? job.error_taken : job.output_taken) += n;
      if (delivering(job)) deliver(job, error_pipe, std::string_view(pipe_buffer_.data(), n));
      // Less than asked for: the pipe is empty for now, and the loop is told when it is not.
      if (static_cast<std::size_t>(n) < size && job.state != RunState::ended) break;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // A process that has ended wrote all it will; a descendant holding the pipe is not waited
      // for. A resident one that wrote less than it said is not trusted again.
      if (job.state == RunState::ended) {
        if (left > 0 && job.lent_from != nullptr) job.lent_from->retire_when_idle = true;
        close_pipe(job, fd);
      }
      break;
    }
    // A lent pipe that fails is not lent again.
    if (job.lent_from != nullptr) job.lent_from->retire_when_idle = true;
    close_pipe(job, fd);
  }
  if (delivering(job)) write_client(*job.client);
  update_pipe_events(job);
}

void Server::deliver(Job& job, bool error_pipe, std::string_view bytes) {
  Connection& conn = job.client->conn;
  if (!error_pipe) {
    conn.append_output(kStdout, bytes);
    job.bytes_out += bytes.size();
  } else {
    // One rule for the length of a line in the log, whoever wrote it.
    std::string lines;
    if (job.direct) {
      job.error_lines.feed(bytes, lines);
    } else {
      job.error_lines.split(bytes, lines);
    }
    if (!lines.empty()) conn.append_output(kStderr, lines);
  }
}

void Server::update_pipe_events(Job& job) {
  const bool paused = delivering(job) && job.client->conn.pending_output() >= kOutputLimit;
  const std::uint32_t events = paused ? 0u : std::uint32_t{EPOLLIN};
  set_events(job.worker.output.get(), *job.output_at, events);
  set_events(job.worker.error.get(), *job.error_at, events);
}

void Server::stop_job(Job& job) {
  if (job.stopped) return;
  // A run that has replied is over: nothing is left to stop, and it may be answering.
  if (job.state == RunState::running && settle_lent_connection(job)) return;
  job.stopped = true;
  unwatch(job.worker.input);
  if (job.client != nullptr && job.client->conn.request) job.client->conn.request->body.clear();
  if (job.state == RunState::ended) {
    // Whatever is left in the pipes is no longer wanted.
    drain_pipe(job, false, kReadsPerExit);
    drain_pipe(job, true, kReadsPerExit);
    return;
  }
  job.state = RunState::stopping;
  if (job.direct) {
    // What the runner's end would do to it, and to all it started. A resident process goes
    // with its request: its program's state is not to be trusted with the next one.
    ::kill(-job.worker.pid, SIGKILL);
    if (job.resident) {
      job.process->retire_when_idle = true;
      // A reply that came before the kill says the connection may hold part of an answer.
      if (!job.connection_lent) unwatch(job.process->socket);
    }
  } else {
    // The runner removes what it made on SIGTERM; whatever is left of the group gets SIGKILL.
    ::kill(job.worker.pid, SIGTERM);
    job.kill_at = Clock::now() + kKillGrace;
  }
  update_pipe_events(job);
}

void Server::reap() {
  while (true) {
    // Looked at before it is collected: while the process is unreaped its pid, and so its group
    // id, cannot be taken by another process.
    siginfo_t info{};
    if (::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid == 0) return;
    const pid_t pid = info.si_pid;
    auto found = processes_.find(pid);
    Process* process = found == processes_.end() ? nullptr : found->second.get();
    // A stopped request leaves nothing running: the script and anything it started go too.
    if (process != nullptr && process->job != nullptr && process->job->stopped)
      ::kill(-pid, SIGKILL);
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || process == nullptr) continue;
    process_exited(*process, status);
  }
}

void Server::process_exited(Process& process, int status) {
  keep_lent_pipes(process);
  Job* job = process.job;
  auto found = processes_.find(process.pid);
  dead_processes_.push_back(std::move(found->second));
  processes_.erase(found);
  if (process.leaving) {
    --leaving_;
    start_waiting();
  }
  // A run that replied before its process went may be answering on its connection.
  const bool replied = job != nullptr && settle_lent_connection(*job);
  unwatch(process.socket);
  if (job == nullptr || replied) return;
  job->status = status;
  end_run(*job);
}

void Server::end_run(Job& job) {
  if (job.process != nullptr) job.process->job = nullptr;
  job.process = nullptr;
  job.state = RunState::ended;
  job.kill_at = Clock::time_point::max();
  unwatch(job.worker.input);
  if (job.direct && !job.resident) {
    // All it wrote is in the pipes now; a descendant that keeps them open may go on writing,
    // and gets no more relayed. A resident process starts none, and has closed its ends.
    job.output_left = bytes_in_pipe(job.worker.output);
    job.error_left = bytes_in_pipe(job.worker.error);
  }
  drain_pipe(job, false, kReadsPerExit);
  drain_pipe(job, true, kReadsPerExit);
  try_finish(job);
}

void Server::try_finish(Job& job) {
  if (job.state != RunState::ended || job.worker.output || job.worker.error) return;
  auto found = jobs_.find(&job);
  if (found == jobs_.end()) return;
  dead_jobs_.push_back(std::move(found->second));
  jobs_.erase(found);
  Client* client = job.client;
  if (client != nullptr) {
    client->job = nullptr;
    if (job.answered && (job.stopped || job.answer_unsure)) {
      drop_client(*client);
      client = nullptr;
    } else if (job.answered) {
      client->conn.end_answered_request();
    } else {
      end_response(job, client->conn);
    }
  }
  // Counted once the response's last bytes are.
  count_end(job);
  if (client == nullptr) {
    start_waiting();
    return;
  }
  if (shutting_down_) client->conn.close_after_output = true;
  // The freed slot goes to the oldest waiting request; a next request that a kept connection
  // sent meanwhile queues behind it.
  const bool kept = write_client(*client);
  start_waiting();
  if (kept && client->conn.open()) handle_records(*client);
}

void Server::end_response(Job& job, Connection& conn) {
  if (!job.last_output.empty() && delivering(job)) {
    conn.append_output(kStdout, job.last_output);
    job.bytes_out += job.last_output.size();
  }
  if (job.direct && delivering(job)) {
    std::string last;
    job.error_lines.finish(last);
    if (!last.empty()) conn.append_output(kStderr, last);
  }
  if (job.timed_out) {
    conn.append_output(kStderr, "The script was stopped at the time-out of " +
                                    std::to_string(options_.timeout_seconds) + " s.\n");
  }
  conn.end_request(app_status(job));
}

}  // namespace sr::fcgi
