#include "fcgi/connection.h"

#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include "fcgi/params.h"
#include "fcgi/record.h"

namespace sr::fcgi {
namespace {

// Buffers above this keep no capacity once empty, so that the memory of many kept connections
// is what they hold now, not the most they ever held.
constexpr std::size_t kKeptCapacity = 4096;

// What a request that wrote nothing is answered with: the status a web server gives a CGI
// script that wrote nothing, and no body.
constexpr std::string_view kSilentFailureResponse = "Status: 500 Internal Server Error\r\n\r\n";

void release(std::string& buffer) {
  if (buffer.capacity() > kKeptCapacity) {
    std::string().swap(buffer);
  } else {
    buffer.clear();
  }
}

}  // namespace

Connection::Connection(UniqueFd socket, ConnectionLimits limits)
    : socket_(std::move(socket)), limits_(limits) {}

long Connection::read_socket(std::size_t limit) {
  // One buffer for every connection: an idle connection keeps only the bytes it has not
  // handled, not room for a whole read.
  static std::string scratch;
  scratch.resize(limit);
  ssize_t n;
  do {
    n = ::read(socket_.get(), scratch.data(), limit);
  } while (n < 0 && errno == EINTR);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return -1;
  if (n <= 0) return 0;
  input_.erase(0, input_used_);
  input_used_ = 0;
  input_.append(scratch, 0, static_cast<std::size_t>(n));
  return n;
}

Event Connection::handle_next_record() {
  Record record;
  std::size_t consumed = 0;
  switch (parse_record(std::string_view(input_).substr(input_used_), record, consumed)) {
    case ParseResult::need_more:
      release_handled_input();
      return Event::need_input;
    case ParseResult::malformed:
      return Event::protocol_error;
    case ParseResult::record:
      break;
  }
  input_used_ += consumed;
  return handle_record(record.type, record.request_id, record.content);
}

Event Connection::handle_record(std::uint8_t type, std::uint16_t id, std::string_view content) {
  if (id == kNullRequestId) {
    if (type == kGetValues) {
      answer_get_values(content);
    } else {
      append_unknown_type(output_, type);
    }
    return Event::none;
  }
  if (id == finished_id_ && (type == kParams || type == kStdin)) return discard(type, content);
  if (type == kBeginRequest) return begin_request(id, content);
  // Records of a request that is not the active one are ignored.
  if (!request || request->id != id) return Event::none;
  switch (type) {
    case kAbortRequest:
      return Event::abort;
    case kParams:
      if (request->params_done) return Event::protocol_error;
      if (content.empty()) {
        request->params_done = true;
        return Event::params_done;
      }
      return add_params(content);
    case kStdin:
      if (!request->params_done) return Event::protocol_error;
      if (request->body_done) return Event::none;
      if (content.empty()) {
        request->body_done = true;
      } else {
        request->body.append(content);
      }
      return Event::body;
    default:
      return Event::none;
  }
}

Event Connection::add_params(std::string_view content) {
  Request& r = *request;
  if (!r.refusal.empty()) return Event::none;
  r.params.append(content);
  // Each pair is measured as soon as its lengths are in, so that nothing beyond the limits is
  // ever held, and each byte is looked at once.
  std::size_t name = 0, value = 0;
  for (std::size_t at = r.metered; read_pair_lengths(r.params, at, name, value); at = r.metered) {
    const std::size_t entry = name + value + 2;  // "=" and the NUL
    if (entry > kMaxEnvironmentEntry) {
      r.refusal = "a parameter of " + std::to_string(entry) + " bytes; at most " +
                  std::to_string(kMaxEnvironmentEntry);
    } else if (r.pairs + 1 > limits_.max_pairs) {
      r.refusal = "more than " + std::to_string(limits_.max_pairs) + " parameters";
    } else if (r.environment_bytes + entry + kEnvironmentPointer > limits_.max_environment) {
      r.refusal = "parameters of more than " + std::to_string(limits_.max_environment) + " bytes";
    }
    if (!r.refusal.empty()) {
      r.params = std::string();
      return Event::params_refused;
    }
    if (r.params.size() - at < name + value) break;
    ++r.pairs;
    r.environment_bytes += entry + kEnvironmentPointer;
    r.metered = at + name + value;
  }
  return Event::none;
}

Event Connection::discard(std::uint8_t type, std::string_view content) {
  discarded_ += content.size();
  if (type == kStdin && content.empty()) {
    finished_id_ = 0;
    return Event::drained;
  }
  return discarded_ > limits_.max_discarded ? Event::drain_limit : Event::none;
}

Event Connection::begin_request(std::uint16_t id, std::string_view content) {
  BeginRequest begin;
  if (!parse_begin_request(content, begin)) return Event::protocol_error;
  // A new request on a kept connection: whatever the web server still had to send for the
  // answered one has come.
  finished_id_ = 0;
  if (request) {
    if (request->id == id) return Event::protocol_error;
    refuse(id, kCantMpxConn);
    return Event::none;
  }
  if (begin.role != kRoleResponder) {
    refuse(id, kUnknownRole);
    if ((begin.flags & kKeepConn) == 0) close_after_output = true;
    return Event::none;
  }
  request.emplace();
  request->id = id;
  request->keep_conn = (begin.flags & kKeepConn) != 0;
  return Event::none;
}

void Connection::answer_get_values(std::string_view content) {
  NameValuePairs asked;
  decode_name_values(content, asked);
  std::string answer;
  for (const auto& [name, value] : asked) {
    if (name == "FCGI_MAX_CONNS" || name == "FCGI_MAX_REQS") {
      append_name_value(answer, name, std::to_string(limits_.max_requests));
    } else if (name == "FCGI_MPXS_CONNS") {
      append_name_value(answer, name, "0");
    }
  }
  // A reply that would not fit one record leaves out what does not fit.
  if (answer.size() > kMaxContentLength) answer.resize(0);
  append_record(output_, kGetValuesResult, kNullRequestId, answer);
}

void Connection::refuse(std::uint16_t id, std::uint8_t status) {
  append_end_request(output_, id, 0, static_cast<ProtocolStatus>(status));
}

void Connection::append_output(std::uint8_t type, std::string_view data) {
  if (!request) return;
  if (type == kStderr && !data.empty()) request->sent_stderr = true;
  if (type == kStdout && !data.empty()) request->sent_stdout = true;
  append_stream_data(output_, type, request->id, data);
}

void Connection::end_request(std::uint32_t app_status) {
  if (!request) return;
  if (!request->sent_stdout) append_output(kStdout, kSilentFailureResponse);
  if (request->sent_stderr) append_record(output_, kStderr, request->id, {});
  append_record(output_, kStdout, request->id, {});
  append_end_request(output_, request->id, app_status, kRequestComplete);
  finish_request();
}

void Connection::end_answered_request() {
  if (!request) return;
  // The process that wrote the answer ends the writing of a connection that ends with it; a
  // shutdown here could cut its answer short.
  write_ended_ = true;
  finish_request();
}

void Connection::finish_request() {
  if (!request->keep_conn) close_after_output = true;
  kept_ = request->keep_conn;
  if (!request->body_done) {
    finished_id_ = request->id;
    discarded_ = 0;
  }
  request.reset();
}

bool Connection::write_output() {
  while (pending_output() > 0) {
    const ssize_t n =
        ::send(socket_.get(), output_.data() + output_sent_, pending_output(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      compact_output();
      return true;
    }
    if (n <= 0) return false;
    output_sent_ += static_cast<std::size_t>(n);
  }
  release(output_);
  output_sent_ = 0;
  return true;
}

void Connection::end_writing() {
  if (write_ended_ || pending_output() > 0) return;
  ::shutdown(socket_.get(), SHUT_WR);
  write_ended_ = true;
}

void Connection::release_handled_input() {
  if (input_used_ < input_.size()) return;
  release(input_);
  input_used_ = 0;
}

void Connection::compact_output() {
  // Sent bytes are dropped once they are the larger part, so the buffer stays near its bound
  // however long a slow reader keeps it from emptying.
  if (output_sent_ > 0 && output_sent_ >= output_.size() / 2) {
    output_.erase(0, output_sent_);
    output_sent_ = 0;
  }
}

}  // namespace sr::fcgi
