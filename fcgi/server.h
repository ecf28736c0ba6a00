// The server's one event loop: it owns the listening socket, every connection and, per running
// request, the pipes to that request's worker; nothing in it blocks.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "fcgi/connection.h"
#include "fcgi/error_lines.h"
#include "fcgi/listener.h"
#include "fcgi/log_limit.h"
#include "fcgi/options.h"
#include "fcgi/request_environment.h"
#include "fcgi/resident_link.h"
#include "fcgi/server_stats.h"
#include "fcgi/warm_memo.h"
#include "fcgi/warm_run.h"
#include "fcgi/worker.h"
#include "runtime/process/pipe_ends.h"

namespace sr::fcgi {

class Server {
 public:
  // `runner_path`: the runner file that each request is answered as.
  Server(Options options, Listener listener, std::string runner_path);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Serves until SIGTERM or SIGINT and the end of the requests then running; returns the
  // process's exit code.
  int run();

 private:
  using Clock = std::chrono::steady_clock;
  // Unsent output of a connection above which its worker's pipes are no longer read.
  static constexpr std::size_t kOutputLimit = 64 * 1024;
  // How long a kept connection may wait for its next request: longer than nginx keeps its own
  // idle upstream connections by default, so that nginx is the one that closes them.
  static constexpr std::chrono::seconds kKeptIdleLimit{120};
  // A connection younger than this is not closed to make room: its request may be on its way.
  // Short, as a web server writes its request as soon as it has connected.
  static constexpr std::chrono::milliseconds kEvictionAge{100};
  enum class WatchKind {
    listener,
    signals,
    socket,
    worker_input,
    worker_output,
    worker_error,
    resident_socket,
    resident_output,
    resident_error
  };
  struct Watch {
    WatchKind kind;
    void* owner;
    std::uint32_t events = 0;
  };
  struct Job;
  struct Process;
  // What a connection without a running or waiting request waits for, each with a time limit.
  enum class Wait { nothing, request, next_request, rest_of_stream };
  struct Client {
    explicit Client(Connection c) : conn(std::move(c)) {}
    Connection conn;
    Watch watch{WatchKind::socket, this};
    Job* job = nullptr;
    bool queued = false;
    Wait wait = Wait::nothing;
    Clock::time_point since;  // when the wait began
    Clock::time_point deadline = Clock::time_point::max();
    // Of the request it holds, from when its params arrived: what the status page and the slow
    // log show, and the params themselves until it starts (views into params_bytes).
    std::string params_bytes;
    NameValuePairs params;
    std::string script;
    Clock::time_point ready_at;
    // Handed to a resident process once: a copy of the socket may still be open there, so the
    // socket leaves the epoll set before it is closed.
    bool lent = false;
  };
  // How far a request's run has got: its process runs it, has been told to stop, or the run is
  // over (the process exited, or a resident one replied), and only its pipes are left to drain.
  enum class RunState { running, stopping, ended };
  // A started request: its streams and its run, served by a process of its own or a resident one.
  struct Job {
    Worker worker;               // the pid of the process serving it, and the request's pipes
    Process* process = nullptr;  // null once the run has ended
    Client* client = nullptr;    // null once the connection is gone
    Watch input_watch{WatchKind::worker_input, this};
    Watch output_watch{WatchKind::worker_output, this};
    Watch error_watch{WatchKind::worker_error, this};
    // Where its output and error pipes are watched: its own watches, or those of the resident
    // process that lent it the pipes.
    Watch* output_at = &output_watch;
    Watch* error_at = &error_watch;
    Process* lent_from = nullptr;  // the resident process whose pipes it holds until drained
    // The cached executable itself rather than the runner: the server does what the runner
    // would do with its streams.
    bool direct = false;
    bool resident = false;  // a direct run handed to a resident process
    ErrorLines error_lines;
    std::int64_t body_left = 0;  // of a direct run: the body bytes it still takes
    // Once a direct run has ended: what its pipes held then, which is all that is relayed.
    std::int64_t output_left = -1;
    std::int64_t error_left = -1;
    // Of a resident run: what was read of its pipes while it ran, and the last of its output,
    // which its reply brought.
    std::int64_t output_taken = 0;
    std::int64_t error_taken = 0;
    std::string last_output;
    // Of a resident run given the connection: until its reply (or its first pipe byte) it may
    // answer there itself, and nothing else is written there; `answered`: it did. An answer
    // that cannot be trusted to be whole (its process stopped after it replied, or a reply
    // that does not fit what the server saw) leaves the connection to be closed.
    bool connection_lent = false;
    bool answered = false;
    bool answer_unsure = false;
    RunState state = RunState::running;
    bool stopped = false;  // aborted, timed out or left: output is no longer delivered
    int status = 0;        // the wait status of a process of its own
    bool timed_out = false;
    Clock::time_point timeout_at = Clock::time_point::max();
    Clock::time_point kill_at = Clock::time_point::max();
    std::string script;  // SCRIPT_FILENAME
    Clock::time_point ready_at;
    std::uint64_t bytes_out = 0;  // standard output delivered
    Clock::time_point slow_at = Clock::time_point::max();
    bool logged_slow = false;
  };
  // A process the server started: a request's own (the runner or an executable run once), or a
  // resident executable that serves request after request and outlives each.
  struct Process {
    pid_t pid = -1;      // also the id of its process group
    Job* job = nullptr;  // the request it serves; null for an idle resident process
    bool resident = false;
    UniqueFd socket;  // of a resident process
    Watch socket_watch{WatchKind::resident_socket, this};
    ExecutableIdentity identity;
    std::string executable_path;  // the cache name it was opened by
    int served = 0;
    bool retire_when_idle = false;  // its file was replaced, or it has served its number
    bool answered_last = false;     // its last run answered on its connection itself
    // Sent away: it finishes an answer it may be writing and exits, and holds its place within
    // --max-children until it is collected; killed if it is still there at leave_by.
    bool leaving = false;
    Clock::time_point leave_by = Clock::time_point::max();
    std::string reply;  // the part of the run's reply read so far
    Clock::time_point idle_since;
    // Of a resident process: its output and error pipes, made once and watched once. Our read
    // ends are lent to each of its runs until they are drained after its reply; as the process
    // writes all of a run's output before it replies, and starts no process that could hold the
    // pipes, nothing of one run can reach the next.
    PipeEnds output, error;
    Watch output_watch{WatchKind::resident_output, this};
    Watch error_watch{WatchKind::resident_error, this};
    Job* lent_to = nullptr;
  };

  bool set_up();
  std::size_t connection_limit() const;
  void watch(int fd, Watch& watch, std::uint32_t events);
  void set_events(int fd, Watch& watch, std::uint32_t events);
  void unwatch(UniqueFd& fd);
  void dispatch(Watch& watch, std::uint32_t events);

  void accept_clients();
  // At the connection limit, the connection that a new one replaces: the one that has waited
  // longest (and at least eviction_age()) for a request, so that connections that send nothing
  // cannot keep out one that sends its request at once; null when every one holds a request.
  Client* evictable_client() const;
  Clock::duration eviction_age() const;
  Clock::duration request_read_timeout() const;
  void update_listener();
  Wait waiting_for(const Client& client) const;
  void update_deadline(Client& client);
  void check_client_deadlines(Clock::time_point now);
  void on_socket(Client& client, std::uint32_t events);
  bool wants_input(const Client& client) const;
  void update_socket_events(Client& client);
  void handle_records(Client& client);
  bool write_client(Client& client);
  void drop_client(Client& client);

  void request_ready(Client& client);
  // False when the request went back to the head of the queue to wait for a place.
  bool spawn(Client& client);
  // Starts the cached executable when the request is warm, the runner otherwise; false when
  // neither could start. `remembered`: the script's last warm decision (WarmMemo), or null.
  bool start_job(RequestEnvironment& environment, const std::vector<std::string>& argv,
                 std::optional<DecisionStamps>* remembered, Client& client, Job& job);
  // Gives the processes of a request that has its own the bookkeeping of a process.
  void add_own_process(Job& job);
  // Ends a request for which no process was started, with one error line and `status`.
  void end_unstarted(Client& client, const std::string& error_line, std::uint32_t status);
  void start_waiting();
  void pass_body(Client& client);
  void abort_request(Client& client);
  // Ends a request whose params exceed a limit, before anything is built from them.
  void refuse_params(Client& client);

  bool delivering(const Job& job) const;
  void drain_pipe(Job& job, bool error_pipe, int max_reads);
  void deliver(Job& job, bool error_pipe, std::string_view bytes);
  void update_pipe_events(Job& job);
  void stop_job(Job& job);
  void reap();
  // A process that has exited: its request's run, if any, is over.
  void process_exited(Process& process, int status);
  void end_run(Job& job);
  void try_finish(Job& job);
  // The end of a response that the server writes: the last output, error lines, the end.
  void end_response(Job& job, Connection& conn);

  // Resident processes (server_residents.cc). Hands a warm run to an idle resident process of
  // its executable, or to a new one; false when it must run in a process of its own.
  bool hand_to_resident(WarmRun& warm, RequestEnvironment& environment, Client& client, Job& job);
  // Whether a resident run may answer on the client's connection itself: a unix socket on
  // which nothing of this request has been written and none will be before the run ends.
  bool may_lend_connection(const Client& client, const WarmRun& warm) const;
  // Takes the reply of a resident run that holds the connection, if it has come: such a run is
  // over and may be answering; true when it was.
  bool settle_lent_connection(Job& job);
  Process* idle_resident(const ExecutableIdentity& identity, const std::string& path);
  // Whether the file declares resident mode, its answer remembered for files that do not.
  bool resident_capable(int executable, const ExecutableIdentity& identity);
  Process* start_resident_process(int executable, const ExecutableIdentity& identity,
                                  const std::string& path);
  // Makes room for one more process within --max-children: retires an idle resident one.
  bool room_for_process();
  void on_resident_socket(Process& process);
  void resident_run_ended(Process& process, ResidentReply& reply);
  // Free for the next request: nothing of its run is left and its pipes are back.
  static bool idle(const Process& process);
  void lend_pipes(Process& process, Job& job);
  // Where a run's pipe is done with: a lent one goes back to its process, which is then free.
  void close_pipe(Job& job, UniqueFd& fd);
  // Its pipes stay with the job it lent them to, as the job's own, when it goes first.
  void keep_lent_pipes(Process& process);
  void on_resident_pipe(Process& process, bool error_pipe, int max_reads);
  // Ends a resident process that is no longer needed or trusted: one that may still be writing
  // its last answer is sent away, any other killed and collected at once. `now` when its place
  // is needed at once.
  void retire(Process& process, bool now = false);
  // Lets an idle process that answered its last run on the connection finish writing it.
  static void let_finish_answer(const Process& process);
  void send_away(Process& process);
  void retire_idle(Clock::time_point idle_before);
  // Kills the processes sent away that have not gone by their time.
  void kill_late_leavers(Clock::time_point now);
  Clock::time_point next_process_deadline() const;
  static std::uint32_t app_status(const Job& job);

  // The status page and the slow log (server_status.cc).
  // Answers the server's own page if the request is for one; true when it did.
  bool answer_own_page(Client& client);
  ServerStats stats_now() const;
  std::vector<RunningRequest> running_requests(Clock::time_point now) const;
  static RunningRequest running_request(const Job& job, Clock::time_point now);
  RequestOutcome outcome_of(const Job& job) const;
  // Counts a started request's end, and logs it when it was logged as slow.
  void count_end(const Job& job);
  void log_slow_requests(Clock::time_point now);
  void reopen_log();

  void on_signals();
  void begin_shutdown();
  void check_deadlines();
  int next_timeout_ms() const;
  // Gives the heap's free pages back once the server has been idle for a moment.
  void trim_heap_when_idle();
  bool finished() const;

  Options options_;
  Listener listener_;
  std::string runner_path_;
  UniqueFd epoll_;
  UniqueFd signals_;
  Watch listener_watch_{WatchKind::listener, nullptr};
  Watch signal_watch_{WatchKind::signals, nullptr};
  // Connections kept open at most: requests wait in one queue in the order they became ready,
  // not in the listen backlog behind requests of kept connections.
  std::size_t max_clients_ = 1;
  ConnectionLimits connection_limits_;
  bool out_of_descriptors_ = false;
  RateLimitedLog malformed_log_;
  RateLimitedLog timeout_log_;
  RateLimitedLog overload_log_;
  bool shutting_down_ = false;
  Clock::time_point shutdown_deadline_ = Clock::time_point::max();
  Clock::time_point idle_since_ = Clock::time_point::max();  // with no connection or request
  bool heap_trimmed_ = true;
  std::unordered_map<Client*, std::unique_ptr<Client>> clients_;
  std::unordered_map<Job*, std::unique_ptr<Job>> jobs_;
  std::unordered_map<pid_t, std::unique_ptr<Process>> processes_;
  std::size_t leaving_ = 0;  // of processes_, those sent away
  std::deque<Client*> waiting_;
  // Freed after each batch of events, which may still name them.
  std::vector<std::unique_ptr<Client>> dead_clients_;
  std::vector<std::unique_ptr<Job>> dead_jobs_;
  std::vector<std::unique_ptr<Process>> dead_processes_;
  static constexpr std::size_t kRememberedFiles = 256;
  std::deque<ExecutableIdentity> not_resident_;
  WarmMemo warm_memo_;
  UniqueFd null_input_;            // the standard input of resident runs without a body
  bool unix_connections_ = false;  // the listening socket is a unix one
  std::vector<char> pipe_buffer_;
  ServerStats stats_;
};

// Called first thing: from then on SIGTERM and SIGINT wait for the loop, so that a stop
// request that comes while the socket is being set up still removes the socket file.
void block_server_signals();

// One line on standard error with the server's prefix.
void log_message(const std::string& message);

}  // namespace sr::fcgi
