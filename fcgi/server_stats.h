// What the server counts for its status page and its slow log: plain fields, bumped where the
// events happen; the page and the log lines only format them.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>

namespace sr::fcgi {

// How a request ended; each accepted request ends in exactly one of these.
enum class RequestOutcome { served, refused, failed, timed_out, aborted };

struct RequestCounts {
  std::uint64_t served = 0;     // its process ran to the end and its response went out
  std::uint64_t refused = 0;    // ended without a process: a script it may not run, params too big
  std::uint64_t failed = 0;     // no process could start, or its process wrote no response
  std::uint64_t timed_out = 0;  // stopped at --timeout
  std::uint64_t aborted = 0;    // the web server aborted it or closed its connection first
};

// The field of `counts` that counts `outcome`.
std::uint64_t& counter_for(RequestCounts& counts, RequestOutcome outcome);

struct ServerStats {
  std::chrono::system_clock::time_point start_time{};
  std::uint64_t accepted_connections = 0;
  std::uint64_t accepted_requests = 0;  // requests whose params arrived whole
  RequestCounts ended;
  std::uint64_t active_processes = 0;  // now: processes serving a request, resident ones included
  std::uint64_t idle_processes = 0;    // now: resident processes waiting for a request
  std::uint64_t waiting_requests = 0;  // now: requests waiting for a process
  std::uint64_t max_waiting_requests = 0;  // the most that ever waited at once
  std::uint64_t max_children_reached = 0;  // requests that waited because --max-children ran
  std::uint64_t slow_requests = 0;         // requests logged by the slow log
  std::uint64_t cache_hits = 0;            // warm: the cached executable ran without the runner
  std::uint64_t cache_builds = 0;          // handed to the runner, which builds what is stale
};

// Where a request is: waiting for a process, run by one, being stopped, or run and its output
// still on its way to the web server.
enum class RequestState { waiting, running, stopping, sending };

struct RunningRequest {
  std::string script;                    // SCRIPT_FILENAME as the request named it
  pid_t pid = 0;                         // 0 while it waits for a process
  std::chrono::milliseconds elapsed{0};  // since its params arrived
  std::uint64_t bytes_out = 0;           // response bytes (its standard output) so far
  RequestState state = RequestState::running;
};

// One word (or two) for each, as the page and the log write them.
const char* outcome_word(RequestOutcome outcome);
const char* state_word(RequestState state);

// "12.345": seconds with their milliseconds; a negative duration is "0.000".
std::string seconds_text(std::chrono::milliseconds duration);

}  // namespace sr::fcgi
