#include "fcgi/server.h"

#include <errno.h>
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

#include "fcgi/record.h"

namespace sr::fcgi {
namespace {

// After a burst the heap keeps free pages between the blocks still in use; they are given
// back once the server has been idle this long, so that its size is what it holds.
constexpr std::chrono::seconds kIdleBeforeTrim(1);
// Body bytes waiting for the worker above which the connection is no longer read.
constexpr std::size_t kBodyLimit = 64 * 1024;
constexpr std::size_t kReadChunk = 64 * 1024;
constexpr int kReadsPerEvent = 16;
constexpr int kAcceptsPerEvent = 64;
// Connections per child kept open at most, and the descriptors kept free of connections for
// the server's own use.
constexpr std::size_t kClientsPerChild = 16;
constexpr std::size_t kReservedDescriptors = 16;
// Descriptors that a child holds at most: its request's input pipe, and a resident process's
// socket and both ends of its output and error pipes.
constexpr std::size_t kDescriptorsPerJob = 6;
// The kernel's bounds on the strings a process starts with: 3/4 of its 8 MiB default stack
// limit at most, a quarter of the actual one, and never less than 32 pages.
constexpr std::size_t kMostArgumentSpace = 6 << 20;
constexpr std::size_t kLeastArgumentSpace = 32 * 4096;

// What the params of a request may take of the runner's argument space: the kernel's bound,
// less the --env entries that every request carries.
std::size_t environment_limit(const std::vector<std::pair<std::string, std::string>>& env) {
  std::size_t limit = kMostArgumentSpace;
  rlimit stack{};
  if (::getrlimit(RLIMIT_STACK, &stack) == 0 && stack.rlim_cur != RLIM_INFINITY) {
    limit = std::min<std::size_t>(limit, stack.rlim_cur / 4);
  }
  limit = std::max(limit, kLeastArgumentSpace);
  for (const auto& [name, value] : env) {
    const std::size_t entry = name.size() + value.size() + 2 + kEnvironmentPointer;
    limit = limit > entry ? limit - entry : 0;
  }
  return limit;
}

}  // namespace

void log_message(const std::string& message) {
  const std::string line = "scriptrunner-fcgi: " + message + "\n";
  // One write per line, so that lines of concurrent processes do not interleave.
  [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, line.data(), line.size());
}

Server::Server(Options options, Listener listener, std::string runner_path)
    : options_(std::move(options)),
      listener_(std::move(listener)),
      runner_path_(std::move(runner_path)),
      pipe_buffer_(kReadChunk) {}

Server::~Server() {
  if (!listener_.unix_path.empty()) ::unlink(listener_.unix_path.c_str());
}

namespace {

sigset_t handled_signals() {
  sigset_t handled;
  sigemptyset(&handled);
  for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGCHLD}) sigaddset(&handled, signal);
  return handled;
}

}  // namespace

void block_server_signals() {
  // Blocked, the signals wait for the loop's signalfd; workers unblock them.
  const sigset_t handled = handled_signals();
  ::sigprocmask(SIG_BLOCK, &handled, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
}

std::size_t Server::connection_limit() const {
  const auto children = static_cast<std::size_t>(options_.max_children);
  std::size_t limit = kClientsPerChild * children;
  rlimit descriptors{};
  if (::getrlimit(RLIMIT_NOFILE, &descriptors) == 0 && descriptors.rlim_cur != RLIM_INFINITY) {
    const std::size_t reserved = kReservedDescriptors + kDescriptorsPerJob * children;
    const std::size_t available =
        descriptors.rlim_cur > reserved ? descriptors.rlim_cur - reserved : 0;
    limit = std::min(limit, available);
  }
  return std::max<std::size_t>(limit, 1);
}

bool Server::set_up() {
  max_clients_ = connection_limit();
  connection_limits_.max_requests = options_.max_children;
  connection_limits_.max_environment = environment_limit(options_.env);
  stats_.start_time = std::chrono::system_clock::now();
  const sigset_t handled = handled_signals();
  signals_.reset(::signalfd(-1, &handled, SFD_NONBLOCK | SFD_CLOEXEC));
  epoll_.reset(::epoll_create1(EPOLL_CLOEXEC));
  if (!signals_ || !epoll_) {
    log_message(std::string("cannot set up the event loop: ") + std::strerror(errno));
    return false;
  }
  watch(signals_.get(), signal_watch_, EPOLLIN);
  watch(listener_.socket.get(), listener_watch_, EPOLLIN);
  // Opened once now, so that the first resident run without a body holds nothing new for good.
  null_input_.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  sockaddr_storage address{};
  socklen_t address_length = sizeof address;
  unix_connections_ = ::getsockname(listener_.socket.get(), reinterpret_cast<sockaddr*>(&address),
                                    &address_length) == 0 &&
                      address.ss_family == AF_UNIX;
  return true;
}

int Server::run() {
  if (!set_up()) return 1;
  log_message("listening on " + listener_.description + ", answering as " + runner_path_);
  if (::geteuid() == 0) {
    log_message("running as root with no user to drop to: scripts run as root");
  }
  std::array<epoll_event, 64> events;
  while (!finished()) {
    const int n = ::epoll_wait(epoll_.get(), events.data(), events.size(), next_timeout_ms());
    if (n < 0 && errno != EINTR) {
      log_message(std::string("epoll_wait: ") + std::strerror(errno));
      return 1;
    }
    // Replies of resident runs first: a run that answered on its connection replied before it
    // did, so a request sent after that answer finds the process free again.
    for (const bool replies : {true, false}) {
      for (int i = 0; i < n; ++i) {
        Watch& watch = *static_cast<Watch*>(events[i].data.ptr);
        if ((watch.kind == WatchKind::resident_socket) == replies)
          dispatch(watch, events[i].events);
      }
    }
    check_deadlines();
    dead_clients_.clear();
    dead_jobs_.clear();
    dead_processes_.clear();
    trim_heap_when_idle();
  }
  log_message("stopped");
  return 0;
}

bool Server::finished() const {
  return shutting_down_ && clients_.empty() && jobs_.empty() && processes_.empty();
}

void Server::watch(int fd, Watch& watch, std::uint32_t events) {
  epoll_event event{};
  event.events = events;
  event.data.ptr = &watch;
  ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &event);
  watch.events = events;
}

void Server::set_events(int fd, Watch& watch, std::uint32_t events) {
  if (fd < 0 || watch.events == events) return;
  epoll_event event{};
  event.events = events;
  event.data.ptr = &watch;
  ::epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, fd, &event);
  watch.events = events;
}

void Server::unwatch(UniqueFd& fd) {
  if (!fd) return;
  ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd.get(), nullptr);
  fd.reset();
}

void Server::dispatch(Watch& watch, std::uint32_t events) {
  switch (watch.kind) {
    case WatchKind::listener:
      accept_clients();
      break;
    case WatchKind::signals:
      on_signals();
      break;
    case WatchKind::socket:
      on_socket(*static_cast<Client*>(watch.owner), events);
      break;
    case WatchKind::worker_input: {
      Job& job = *static_cast<Job*>(watch.owner);
      if (job.client != nullptr) {
        pass_body(*job.client);
      } else {
        unwatch(job.worker.input);
      }
      break;
    }
    case WatchKind::worker_output:
    case WatchKind::worker_error: {
      Job& job = *static_cast<Job*>(watch.owner);
      drain_pipe(job, watch.kind == WatchKind::worker_error, kReadsPerEvent);
      try_finish(job);
      break;
    }
    case WatchKind::resident_socket:
      on_resident_socket(*static_cast<Process*>(watch.owner));
      break;
    case WatchKind::resident_output:
    case WatchKind::resident_error:
      on_resident_pipe(*static_cast<Process*>(watch.owner), watch.kind == WatchKind::resident_error,
                       kReadsPerEvent);
      break;
  }
}

void Server::accept_clients() {
  bool first = true;
  for (int i = 0; i < kAcceptsPerEvent && listener_.socket; ++i) {
    Client* room = clients_.size() < max_clients_ ? nullptr : evictable_client();
    if (clients_.size() >= max_clients_ && room == nullptr) break;
    const int fd =
        ::accept4(listener_.socket.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno == EMFILE || errno == ENFILE) {
        // Accepting again waits until a connection has closed.
        log_message("out of descriptors; not accepting until a connection closes");
        out_of_descriptors_ = true;
        update_listener();
      }
      return;
    }
    if (room != nullptr) {
      overload_log_.write("at the limit of " + std::to_string(max_clients_) +
                          " connections: closed one that sent no request for a new one");
      drop_client(*room);
    }
    ++stats_.accepted_connections;
    auto client = std::make_unique<Client>(Connection(UniqueFd(fd), connection_limits_));
    Client& added = *client;
    watch(fd, client->watch, EPOLLIN);
    clients_.emplace(client.get(), std::move(client));
    update_deadline(added);
    // A web server sends its request with the connection: taken now, it holds its place. Only
    // the first: a later one may have been sent after an answer whose process's reply is still
    // unread, and its event comes after that reply.
    if (std::exchange(first, false)) on_socket(added, EPOLLIN);
  }
  update_listener();
}

Server::Client* Server::evictable_client() const {
  const Clock::time_point old_enough = Clock::now() - eviction_age();
  Client* oldest = nullptr;
  for (const auto& [key, client] : clients_) {
    const bool idle = client->wait == Wait::request || client->wait == Wait::next_request;
    if (idle && client->since <= old_enough && (oldest == nullptr || client->since < oldest->since))
      oldest = client.get();
  }
  return oldest;
}

Server::Clock::duration Server::eviction_age() const {
  return std::min<Clock::duration>(kEvictionAge, request_read_timeout());
}

Server::Clock::duration Server::request_read_timeout() const {
  return std::chrono::seconds(options_.request_read_timeout_seconds);
}

void Server::update_listener() {
  if (!listener_.socket) return;
  const bool accepting = !shutting_down_ && !out_of_descriptors_ &&
                         (clients_.size() < max_clients_ || evictable_client() != nullptr);
  set_events(listener_.socket.get(), listener_watch_, accepting ? std::uint32_t{EPOLLIN} : 0u);
}

Server::Wait Server::waiting_for(const Client& client) const {
  const Connection& conn = client.conn;
  if (client.job != nullptr || client.queued) return Wait::nothing;
  if (conn.request) return conn.request->params_done ? Wait::nothing : Wait::request;
  if (conn.draining()) return Wait::rest_of_stream;
  if (conn.kept_idle()) return Wait::next_request;
  return conn.close_after_output ? Wait::nothing : Wait::request;
}

void Server::update_deadline(Client& client) {
  const Wait wait = waiting_for(client);
  if (wait == client.wait) return;
  client.wait = wait;
  client.since = Clock::now();
  client.deadline = Clock::time_point::max();
  if (wait == Wait::request || wait == Wait::rest_of_stream) {
    client.deadline = client.since + request_read_timeout();
  } else if (wait == Wait::next_request) {
    client.deadline = client.since + kKeptIdleLimit;
  }
}

void Server::check_client_deadlines(Clock::time_point now) {
  std::vector<Client*> expired;
  for (auto& [key, client] : clients_) {
    if (client->deadline <= now) expired.push_back(client.get());
  }
  for (Client* client : expired) {
    if (client->wait == Wait::request) {
      timeout_log_.write("no whole request within " +
                         std::to_string(options_.request_read_timeout_seconds) +
                         " s; connection closed");
    }
    drop_client(*client);
  }
  // Connections that have become old enough to make room for new ones.
  if (!expired.empty() || clients_.size() >= max_clients_) update_listener();
}

void Server::on_socket(Client& client, std::uint32_t events) {
  if ((events & (EPOLLHUP | EPOLLERR)) != 0) {
    drop_client(client);
    return;
  }
  // A resident run that answered here replied before its answer went out, so a kept
  // connection's next request may come before the reply's event: the reply is taken first.
  if (client.job != nullptr && client.job->connection_lent) {
    settle_lent_connection(*client.job);
    if (!client.conn.open()) return;
  }
  if ((events & EPOLLIN) != 0) {
    for (int i = 0; i < kReadsPerEvent && wants_input(client); ++i) {
      const long n = client.conn.read_socket(kReadChunk);
      if (n < 0) break;
      if (n == 0) {
        // The web server closed the connection: its visitor went away.
        drop_client(client);
        return;
      }
      handle_records(client);
      if (!client.conn.open()) return;
      // The socket held less than a read takes: the loop is told when there is more.
      if (n < static_cast<long>(kReadChunk)) break;
    }
  }
  if (!write_client(client)) return;
  Job* job = client.job;
  if (job != nullptr && client.conn.pending_output() < kOutputLimit) {
    // A worker that has ended may hold nothing more that would wake the loop: take it now.
    if (job->state == RunState::ended) {
      drain_pipe(*job, false, kReadsPerEvent);
      drain_pipe(*job, true, kReadsPerEvent);
      try_finish(*job);
      return;
    }
    update_pipe_events(*job);
  }
}

bool Server::wants_input(const Client& client) const {
  const Connection& conn = client.conn;
  // A connection that is to close after its output still reads the request it is serving, and
  // the rest of the one it has answered.
  if (!conn.open() || (conn.close_after_output && !conn.request && !conn.draining())) {
    return false;
  }
  return conn.pending_output() < kOutputLimit &&
         (!conn.request || conn.request->body.size() < kBodyLimit);
}

void Server::update_socket_events(Client& client) {
  if (!client.conn.open()) return;
  std::uint32_t events = wants_input(client) ? std::uint32_t{EPOLLIN} : 0u;
  const bool lent = client.job != nullptr && client.job->connection_lent;
  if (client.conn.pending_output() > 0 && !lent) events |= EPOLLOUT;
  set_events(client.conn.fd(), client.watch, events);
  update_deadline(client);
}

void Server::handle_records(Client& client) {
  while (client.conn.open()) {
    const Event event = client.conn.handle_next_record();
    switch (event) {
      case Event::need_input:
        write_client(client);
        return;
      case Event::none:
        break;
      case Event::params_done:
        request_ready(client);
        break;
      case Event::body:
        pass_body(client);
        break;
      case Event::abort:
        abort_request(client);
        break;
      case Event::params_refused:
        refuse_params(client);
        break;
      case Event::drained:
        if (!write_client(client)) return;
        break;
      case Event::drain_limit:
        drop_client(client);
        return;
      case Event::protocol_error:
        malformed_log_.write("malformed record; connection closed");
        drop_client(client);
        return;
    }
  }
}

bool Server::write_client(Client& client) {
  if (!client.conn.open()) return false;
  // While a resident run may answer on the connection itself, nothing else is written there:
  // an answer to a record that came meanwhile waits for the run's end.
  if (client.job != nullptr && client.job->connection_lent) {
    update_socket_events(client);
    return true;
  }
  if (!client.conn.write_output()) {
    drop_client(client);
    return false;
  }
  if (client.conn.pending_output() == 0 && client.conn.close_after_output &&
      client.job == nullptr && !client.conn.request) {
    if (!client.conn.draining()) {
      drop_client(client);
      return false;
    }
    client.conn.end_writing();
  }
  update_socket_events(client);
  return true;
}

void Server::drop_client(Client& client) {
  if (!client.conn.open()) return;
  if (client.queued) {
    waiting_.erase(std::find(waiting_.begin(), waiting_.end(), &client));
    client.queued = false;
    ++stats_.ended.aborted;
  }
  // The close takes the socket out of the epoll set when no other process holds it: workers are
  // started with vfork and the socket does not survive their exec, but a resident process that
  // was handed it may still be writing its answer.
  if (client.lent) ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, client.conn.fd(), nullptr);
  client.conn.close_socket();
  out_of_descriptors_ = false;
  if (Job* job = client.job) {
    job->client = nullptr;
    client.job = nullptr;
    stop_job(*job);
    try_finish(*job);
  }
  auto found = clients_.find(&client);
  dead_clients_.push_back(std::move(found->second));
  clients_.erase(found);
  update_listener();
}

void Server::on_signals() {
  signalfd_siginfo info;
  while (::read(signals_.get(), &info, sizeof info) == sizeof info) {
    if (info.ssi_signo == SIGCHLD) {
      reap();
    } else if (info.ssi_signo == SIGUSR1) {
      reopen_log();
    } else {
      // A hang-up (the terminal or a supervisor going away) stops the server as TERM does.
      if (info.ssi_signo == SIGHUP) log_message("SIGHUP: stopping as on SIGTERM");
      begin_shutdown();
    }
  }
}

void Server::begin_shutdown() {
  if (shutting_down_) {
    // A second signal: no more waiting for running requests.
    shutdown_deadline_ = Clock::now();
    return;
  }
  shutting_down_ = true;
  log_message("stopping: no new connections; waiting for running requests");
  unwatch(listener_.socket);
  if (!listener_.unix_path.empty()) {
    ::unlink(listener_.unix_path.c_str());
    listener_.unix_path.clear();
  }
  if (options_.timeout_seconds > 0) {
    shutdown_deadline_ = Clock::now() + std::chrono::seconds(options_.timeout_seconds);
  }
  std::vector<Client*> idle;
  for (auto& [key, client] : clients_) {
    client->conn.close_after_output = true;
    if (!client->conn.request && client->job == nullptr) idle.push_back(client.get());
  }
  for (Client* client : idle) write_client(*client);
  retire_idle(Clock::time_point::max());
}

void Server::check_deadlines() {
  const Clock::time_point now = Clock::now();
  check_client_deadlines(now);
  log_slow_requests(now);
  // A script that has ended but whose client does not take the response keeps its slot only
  // until the time-out too.
  std::vector<Client*> stalled;
  std::vector<Job*> timed_out;
  for (auto& [key, job] : jobs_) {
    if (job->state == RunState::ended && job->client != nullptr && job->timeout_at <= now) {
      stalled.push_back(job->client);
    }
    if (job->state == RunState::running && job->timeout_at <= now) timed_out.push_back(job.get());
    if (job->kill_at <= now) {
      ::kill(-job->worker.pid, SIGKILL);
      job->kill_at = Clock::time_point::max();
    }
  }
  // Taken apart from the loop: a run that replied in time ends here, and so leaves jobs_.
  for (Job* job : timed_out) {
    if (settle_lent_connection(*job)) continue;
    log_message("timed out after " + std::to_string(options_.timeout_seconds) +
                " s; stopping process group " + std::to_string(job->worker.pid));
    job->timed_out = true;
    stop_job(*job);
  }
  for (Client* client : stalled) {
    log_message("timed out while the client was not reading the response; connection closed");
    drop_client(*client);
  }
  if (options_.resident_idle_seconds > 0) {
    retire_idle(now - std::chrono::seconds(options_.resident_idle_seconds));
  }
  kill_late_leavers(now);
  if (shutting_down_ && shutdown_deadline_ <= now) {
    shutdown_deadline_ = Clock::time_point::max();
    log_message("shutdown time-out: stopping the requests still running");
    std::vector<Client*> all;
    for (auto& [key, client] : clients_) all.push_back(client.get());
    for (Client* client : all) drop_client(*client);
  }
}

void Server::trim_heap_when_idle() {
  if (!clients_.empty() || !jobs_.empty()) {
    idle_since_ = Clock::time_point::max();
    heap_trimmed_ = false;
    return;
  }
  const Clock::time_point now = Clock::now();
  if (idle_since_ == Clock::time_point::max()) idle_since_ = now;
  if (!heap_trimmed_ && now - idle_since_ >= kIdleBeforeTrim) {
    ::malloc_trim(0);
    heap_trimmed_ = true;
  }
}

int Server::next_timeout_ms() const {
  Clock::time_point next = shutdown_deadline_;
  if (!heap_trimmed_ && idle_since_ != Clock::time_point::max()) {
    next = idle_since_ + kIdleBeforeTrim;
  }
  // When all places are held, the moment the next one becomes free for a new connection.
  const bool full = clients_.size() >= max_clients_;
  const Clock::time_point now = Clock::now();
  for (const auto& [key, client] : clients_) {
    next = std::min(next, client->deadline);
    const bool idle = client->wait == Wait::request || client->wait == Wait::next_request;
    const Clock::time_point evictable_at = client->since + eviction_age();
    if (full && idle && evictable_at > now) next = std::min(next, evictable_at);
  }
  next = std::min(next, next_process_deadline());
  for (const auto& [key, job] : jobs_) {
    const bool running = job->state == RunState::running;
    const bool delivering_late = job->state == RunState::ended && job->client != nullptr;
    if (running || delivering_late) next = std::min(next, job->timeout_at);
    next = std::min(next, job->kill_at);
    if (!job->logged_slow) next = std::min(next, job->slow_at);
  }
  if (next == Clock::time_point::max()) return -1;
  const auto wait =
      std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count() + 1;
  return static_cast<int>(std::clamp<long long>(wait, 0, 60'000));
}

}  // namespace sr::fcgi
