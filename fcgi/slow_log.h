// The slow log's two lines about a request that runs longer than --slow-log: one when it passes
// that time, one when it ends. The script's path comes last, its control bytes escaped, so that
// whatever it holds the fields before it stay where they are and the line stays one line.
#pragma once

#include <string>

#include "fcgi/server_stats.h"

namespace sr::fcgi {

// "slow request, pid 4711, 12.345 s, 5120 bytes out so far: /srv/www/cgi/a.cgi"
std::string slow_request_line(const RunningRequest& request);

// "slow request ended, pid 4711, 30.001 s, 10240 bytes out, timed out: /srv/www/cgi/a.cgi"
std::string slow_request_end_line(const RunningRequest& request, RequestOutcome outcome);

}  // namespace sr::fcgi
