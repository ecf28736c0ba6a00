#include "fcgi/slow_log.h"

#include "runtime/strings/log_text.h"

namespace sr::fcgi {
namespace {

std::string figures(const RunningRequest& request) {
  return ", pid " + std::to_string(request.pid) + ", " + seconds_text(request.elapsed) + " s, " +
         std::to_string(request.bytes_out) + " bytes out";
}

}  // namespace

std::string slow_request_line(const RunningRequest& request) {
  return "slow request" + figures(request) + " so far: " + escape_for_log(request.script);
}

std::string slow_request_end_line(const RunningRequest& request, RequestOutcome outcome) {
  return "slow request ended" + figures(request) + ", " + outcome_word(outcome) + ": " +
         escape_for_log(request.script);
}

}  // namespace sr::fcgi
