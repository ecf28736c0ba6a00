#include "fcgi/server_stats.h"

namespace sr::fcgi {

std::uint64_t& counter_for(RequestCounts& counts, RequestOutcome outcome) {
  switch (outcome) {
    case RequestOutcome::served:
      return counts.served;
    case RequestOutcome::refused:
      return counts.refused;
    case RequestOutcome::failed:
      return counts.failed;
    case RequestOutcome::timed_out:
      return counts.timed_out;
    case RequestOutcome::aborted:
      break;
  }
  return counts.aborted;
}

const char* outcome_word(RequestOutcome outcome) {
  switch (outcome) {
    case RequestOutcome::served:
      return "served";
    case RequestOutcome::refused:
      return "refused";
    case RequestOutcome::failed:
      return "failed";
    case RequestOutcome::timed_out:
      return "timed out";
    case RequestOutcome::aborted:
      break;
  }
  return "aborted";
}

const char* state_word(RequestState state) {
  switch (state) {
    case RequestState::waiting:
      return "waiting";
    case RequestState::running:
      return "running";
    case RequestState::stopping:
      return "stopping";
    case RequestState::sending:
      break;
  }
  return "sending";
}

std::string seconds_text(std::chrono::milliseconds duration) {
  const long long ms = duration.count() < 0 ? 0 : duration.count();
  std::string fraction = std::to_string(ms % 1000);
  fraction.insert(0, 3 - fraction.size(), '0');
  return std::to_string(ms / 1000) + "." + fraction;
}

}  // namespace sr::fcgi
