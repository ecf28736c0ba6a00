// The server's own pages, answered without a script: the status page (its counters and, with
// "full", the requests it is serving) and the ping page.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "fcgi/server_stats.h"

namespace sr::fcgi {

enum class OwnPage { none, status, ping };

// What a request names, from its params ("" when absent).
struct PageRequest {
  std::string_view script_name;   // SCRIPT_NAME
  std::string_view document_uri;  // DOCUMENT_URI
  std::string_view path_info;     // PATH_INFO
};

// The page a request is for: its SCRIPT_NAME, or without one its DOCUMENT_URI, is the page's
// path, and neither DOCUMENT_URI nor PATH_INFO names more than that path (so that no other URL,
// which the web server may not guard as it guards the page's, reaches it). An empty path is off.
OwnPage own_page_for(const PageRequest& request, std::string_view status_path,
                     std::string_view ping_path);

// The whole CGI response of the status page for `query` (QUERY_STRING): plain text, or with
// "json" JSON, or with "openmetrics" the OpenMetrics text format (the first of the two named
// wins); with "full" also `running`. Names are matched before any "=", between "&"s.
std::string render_status(const ServerStats& stats, const std::vector<RunningRequest>& running,
                          std::chrono::system_clock::time_point now, std::string_view query);

// The whole CGI response of the ping page: "pong".
std::string render_ping();

}  // namespace sr::fcgi
