// The server's own pages and its slow log: the counters it keeps, the requests it serves now,
// formatted by the pure parts in status_page.h and slow_log.h.
#include "fcgi/log_file.h"
#include "fcgi/record.h"
#include "fcgi/server.h"
#include "fcgi/slow_log.h"
#include "fcgi/status_page.h"

namespace sr::fcgi {
namespace {

// The last value, as the request's environment takes it: a web server adds its own after the
// shared ones.
std::string_view param(const NameValuePairs& params, std::string_view name) {
  std::string_view value;
  for (const auto& [key, found] : params) {
    if (key == name) value = found;
  }
  return value;
}

std::chrono::milliseconds since(std::chrono::steady_clock::time_point then,
                                std::chrono::steady_clock::time_point now) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(now - then);
}

}  // namespace

bool Server::answer_own_page(Client& client) {
  if (options_.status_path.empty() && options_.ping_path.empty()) return false;
  const NameValuePairs& params = client.params;
  const OwnPage page = own_page_for(
      {param(params, "SCRIPT_NAME"), param(params, "DOCUMENT_URI"), param(params, "PATH_INFO")},
      options_.status_path, options_.ping_path);
  if (page == OwnPage::none) return false;
  ++stats_.ended.served;
  const std::string response =
      page == OwnPage::ping
          ? render_ping()
          : render_status(stats_now(), running_requests(Clock::now()),
                          std::chrono::system_clock::now(), param(params, "QUERY_STRING"));
  client.params.clear();
  client.conn.append_output(kStdout, response);
  client.conn.end_request(0);
  write_client(client);
  return true;
}

ServerStats Server::stats_now() const {
  ServerStats stats = stats_;
  for (const auto& [pid, process] : processes_) {
    if (process->job != nullptr) {
      ++stats.active_processes;
    } else if (process->resident && !process->leaving) {
      ++stats.idle_processes;
    }
  }
  stats.waiting_requests = waiting_.size();
  return stats;
}

RunningRequest Server::running_request(const Job& job, Clock::time_point now) {
  RunningRequest row;
  row.script = job.script;
  row.pid = job.worker.pid;
  row.elapsed = since(job.ready_at, now);
  row.bytes_out = job.bytes_out;
  row.state = job.state == RunState::running    ? RequestState::running
              : job.state == RunState::stopping ? RequestState::stopping
                                                : RequestState::sending;
  return row;
}

std::vector<RunningRequest> Server::running_requests(Clock::time_point now) const {
  std::vector<RunningRequest> rows;
  for (const auto& [key, job] : jobs_) rows.push_back(running_request(*job, now));
  for (const Client* client : waiting_) {
    RunningRequest row;
    row.script = client->script;
    row.elapsed = since(client->ready_at, now);
    row.state = RequestState::waiting;
    rows.push_back(std::move(row));
  }
  return rows;
}

RequestOutcome Server::outcome_of(const Job& job) const {
  if (job.timed_out) return RequestOutcome::timed_out;
  if (job.stopped || !delivering(job)) return RequestOutcome::aborted;
  // A run that sent nothing (the connection got a bare server error) or whose runner failed.
  if (job.bytes_out == 0 || app_status(job) != 0) return RequestOutcome::failed;
  return RequestOutcome::served;
}

void Server::count_end(const Job& job) {
  const RequestOutcome outcome = outcome_of(job);
  ++counter_for(stats_.ended, outcome);
  if (job.logged_slow) {
    log_message(slow_request_end_line(running_request(job, Clock::now()), outcome));
  }
}

void Server::log_slow_requests(Clock::time_point now) {
  for (auto& [key, job] : jobs_) {
    if (job->logged_slow || job->slow_at > now) continue;
    job->logged_slow = true;
    ++stats_.slow_requests;
    log_message(slow_request_line(running_request(*job, now)));
  }
}

void Server::reopen_log() {
  if (options_.log_file.empty()) {
    log_message("SIGUSR1: no --log file to reopen; ignored");
    return;
  }
  if (const std::string error = log_to_file(options_.log_file); !error.empty()) {
    log_message(error + "; logging on to the file open before");
    return;
  }
  log_message("log reopened");
}

}  // namespace sr::fcgi
