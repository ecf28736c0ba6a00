#include "fcgi/status_page.h"

#include <time.h>

#include <cstdint>

#include "fcgi/status_text.h"
#include "runtime/strings/log_text.h"

namespace sr::fcgi {
namespace {

using SystemClock = std::chrono::system_clock;

enum class Format { text, json, openmetrics };

struct StatusQuery {
  Format format = Format::text;
  bool full = false;
};

StatusQuery parse_query(std::string_view query) {
  StatusQuery parsed;
  bool format_named = false;
  while (!query.empty()) {
    const std::size_t end = query.find('&');
    std::string_view name = query.substr(0, end);
    query = end == std::string_view::npos ? std::string_view() : query.substr(end + 1);
    name = name.substr(0, name.find('='));
    if (name == "full") parsed.full = true;
    if (format_named || (name != "json" && name != "openmetrics")) continue;
    parsed.format = name == "json" ? Format::json : Format::openmetrics;
    format_named = true;
  }
  return parsed;
}

enum class Kind { counter, gauge };

// One number of the page, as each form names it.
struct Figure {
  std::string_view key;     // the JSON key; with blanks for "_", the text's label
  std::string_view family;  // the OpenMetrics metric family it is a sample of
  std::string_view label;   // its label within that family, or ""
  Kind kind;
  std::uint64_t value;
  std::string_view help;  // the family's help, given on its first figure
};

std::vector<Figure> figures(const ServerStats& s, std::uint64_t start, std::uint64_t uptime) {
  const RequestCounts& e = s.ended;
  constexpr std::string_view kEnded = "scriptrunner_ended_requests";
  constexpr std::string_view kProcesses = "scriptrunner_processes";
  return {
      {"start_time_seconds", "scriptrunner_start_time_seconds", "", Kind::gauge, start,
       "When the server started, in seconds since 1970 (UTC)."},
      {"uptime_seconds", "scriptrunner_uptime_seconds", "", Kind::gauge, uptime,
       "Seconds since the server started."},
      {"accepted_connections", "scriptrunner_accepted_connections", "", Kind::counter,
       s.accepted_connections, "Connections accepted from the web server."},
      {"accepted_requests", "scriptrunner_accepted_requests", "", Kind::counter,
       s.accepted_requests, "Requests whose params arrived whole."},
      {"requests_served", kEnded, "outcome=\"served\"", Kind::counter, e.served,
       "Requests ended, by how they ended."},
      {"requests_refused", kEnded, "outcome=\"refused\"", Kind::counter, e.refused, ""},
      {"requests_failed", kEnded, "outcome=\"failed\"", Kind::counter, e.failed, ""},
      {"requests_timed_out", kEnded, "outcome=\"timed_out\"", Kind::counter, e.timed_out, ""},
      {"requests_aborted", kEnded, "outcome=\"aborted\"", Kind::counter, e.aborted, ""},
      {"active_processes", kProcesses, "state=\"active\"", Kind::gauge, s.active_processes,
       "Processes now serving a request, and resident processes now idle."},
      {"idle_processes", kProcesses, "state=\"idle\"", Kind::gauge, s.idle_processes, ""},
      {"waiting_requests", "scriptrunner_waiting_requests", "", Kind::gauge, s.waiting_requests,
       "Requests now waiting for a process."},
      {"max_waiting_requests", "scriptrunner_max_waiting_requests", "", Kind::gauge,
       s.max_waiting_requests, "The most requests that ever waited at once."},
      {"max_children_reached", "scriptrunner_max_children_reached", "", Kind::counter,
       s.max_children_reached, "Requests that waited because --max-children processes ran."},
      {"slow_requests", "scriptrunner_slow_requests", "", Kind::counter, s.slow_requests,
       "Requests that ran longer than the slow log's time."},
      {"cache_hits", "scriptrunner_cache_hits", "", Kind::counter, s.cache_hits,
       "Requests whose cached executable was current and ran without the runner."},
      {"cache_builds", "scriptrunner_cache_builds", "", Kind::counter, s.cache_builds,
       "Requests handed to the runner, which builds what is not current."},
  };
}

std::uint64_t seconds_since_1970(SystemClock::time_point at) {
  const auto seconds = std::chrono::floor<std::chrono::seconds>(at.time_since_epoch()).count();
  return seconds < 0 ? 0 : static_cast<std::uint64_t>(seconds);
}

// ISO 8601 in UTC, to the second: "2026-12-09T16:03:08Z".
std::string iso_time(SystemClock::time_point at) {
  const auto seconds = static_cast<time_t>(seconds_since_1970(at));
  tm parts{};
  char text[32] = "";
  if (gmtime_r(&seconds, &parts) == nullptr ||
      strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts) == 0) {
    return "1970-01-01T00:00:00Z";
  }
  return text;
}

std::string text_label(std::string_view key) {
  std::string label(key);
  for (char& c : label) c = c == '_' ? ' ' : c;
  return label;
}

std::string padded(std::string text, std::size_t width) {
  if (text.size() < width) text.append(width - text.size(), ' ');
  return text + ' ';
}

std::string text_body(const std::vector<Figure>& rows, const std::string& start,
                      const std::vector<RunningRequest>* running) {
  std::string body = "start time: " + start + "\n";
  for (const Figure& row : rows)
    body += text_label(row.key) + ": " + std::to_string(row.value) + "\n";
  if (running == nullptr) return body;
  body += "\nrunning requests: " + std::to_string(running->size()) + "\n";
  body += padded("pid", 8) + padded("state", 9) + padded("seconds", 11) + padded("bytes out", 12) +
          "script\n";
  for (const RunningRequest& r : *running) {
    body += padded(r.pid > 0 ? std::to_string(r.pid) : "-", 8) + padded(state_word(r.state), 9) +
            padded(seconds_text(r.elapsed), 11) + padded(std::to_string(r.bytes_out), 12) +
            escape_for_log(r.script) + "\n";
  }
  return body;
}

std::string json_body(const std::vector<Figure>& rows, const std::string& start,
                      const std::vector<RunningRequest>* running) {
  std::string body = "{\"start_time\":" + json_string(start);
  for (const Figure& row : rows) {
    body += ",\"" + std::string(row.key) + "\":" + std::to_string(row.value);
  }
  if (running != nullptr) {
    body += ",\"running_requests\":[";
    for (const RunningRequest& r : *running) {
      if (&r != &running->front()) body += ",";
      body += "{\"script\":" + json_string(r.script) +
              ",\"pid\":" + (r.pid > 0 ? std::to_string(r.pid) : "null") +
              ",\"state\":" + json_string(state_word(r.state)) +
              ",\"elapsed_seconds\":" + seconds_text(r.elapsed) +
              ",\"bytes_out\":" + std::to_string(r.bytes_out) + "}";
    }
    body += "]";
  }
  return body + "}\n";
}

std::string family_header(std::string_view family, Kind kind, std::string_view help) {
  std::string header = "# HELP " + std::string(family) + " " + std::string(help) + "\n";
  return header + "# TYPE " + std::string(family) +
         (kind == Kind::counter ? " counter\n" : " gauge\n");
}

std::string openmetrics_body(const std::vector<Figure>& rows,
                             const std::vector<RunningRequest>* running) {
  std::string body;
  std::string_view family;
  for (const Figure& row : rows) {
    if (row.family != family) body += family_header(row.family, row.kind, row.help);
    family = row.family;
    body += std::string(row.family) + (row.kind == Kind::counter ? "_total" : "");
    if (!row.label.empty()) body += "{" + std::string(row.label) + "}";
    body += " " + std::to_string(row.value) + "\n";
  }
  if (running != nullptr) {
    // Only requests that have a process: its pid keeps each one's labels apart.
    std::string elapsed = family_header("scriptrunner_request_elapsed_seconds", Kind::gauge,
                                        "Seconds since each running request's params arrived.");
    std::string bytes = family_header("scriptrunner_request_output_bytes", Kind::gauge,
                                      "Response bytes each running request has written.");
    for (const RunningRequest& r : *running) {
      if (r.pid <= 0) continue;
      const std::string labels = "{pid=\"" + std::to_string(r.pid) + "\",state=\"" +
                                 state_word(r.state) +
                                 "\",script=" + openmetrics_label_value(r.script) + "}";
      elapsed +=
          "scriptrunner_request_elapsed_seconds" + labels + " " + seconds_text(r.elapsed) + "\n";
      bytes +=
          "scriptrunner_request_output_bytes" + labels + " " + std::to_string(r.bytes_out) + "\n";
    }
    body += elapsed + bytes;
  }
  return body + "# EOF\n";
}

std::string response(std::string_view content_type, const std::string& body) {
  return "Content-Type: " + std::string(content_type) + "\r\nCache-Control: no-store\r\n\r\n" +
         body;
}

}  // namespace

OwnPage own_page_for(const PageRequest& request, std::string_view status_path,
                     std::string_view ping_path) {
  const std::string_view named =
      request.script_name.empty() ? request.document_uri : request.script_name;
  const bool exact =
      request.path_info.empty() && (request.document_uri.empty() || request.document_uri == named);
  if (named.empty() || !exact) return OwnPage::none;
  if (named == status_path) return OwnPage::status;
  if (named == ping_path) return OwnPage::ping;
  return OwnPage::none;
}

std::string render_status(const ServerStats& stats, const std::vector<RunningRequest>& running,
                          SystemClock::time_point now, std::string_view query) {
  const StatusQuery parsed = parse_query(query);
  const std::uint64_t start = seconds_since_1970(stats.start_time);
  const std::uint64_t at = seconds_since_1970(now);
  // A clock set back since the start gives no negative uptime.
  const std::vector<Figure> rows = figures(stats, start, at > start ? at - start : 0);
  const std::vector<RunningRequest>* listed = parsed.full ? &running : nullptr;
  switch (parsed.format) {
    case Format::json:
      return response("application/json", json_body(rows, iso_time(stats.start_time), listed));
    case Format::openmetrics:
      return response("application/openmetrics-text; version=1.0.0; charset=utf-8",
                      openmetrics_body(rows, listed));
    case Format::text:
      break;
  }
  return response("text/plain", text_body(rows, iso_time(stats.start_time), listed));
}

std::string render_ping() {
  return response("text/plain", "pong");
}

}  // namespace sr::fcgi
