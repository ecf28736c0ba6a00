// One web-server connection: the records it sends, parsed as they arrive, the one request it
// may have at a time, and the bytes waiting to be written back.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "runtime/files/unique_fd.h"

namespace sr::fcgi {

struct Request {
  std::uint16_t id = 0;
  bool keep_conn = false;
  std::string params;
  bool params_done = false;
  std::string body;        // received and not yet passed to the worker
  bool body_done = false;  // the stream's empty record came
  bool sent_stderr = false;
  bool sent_stdout = false;
  // The pairs counted so far and the bytes their environment entries take; `params` up to
  // `metered` holds only whole pairs.
  std::size_t pairs = 0;
  std::size_t environment_bytes = 0;
  std::size_t metered = 0;
  std::string refusal;  // why the params are refused, once they are
};

// What the server must do after a record.
enum class Event {
  need_input,      // no whole record is waiting
  none,            // handled here
  params_done,     // the request can start
  body,            // body bytes or the body's end arrived
  abort,           // the web server aborted the request
  params_refused,  // the params exceed a limit (Request::refusal says which); nothing started
  drained,         // the stream of an answered request has ended
  drain_limit,     // an answered request sent more than is read for it: close
  protocol_error   // the connection must close
};

// The kernel's limits on what a process may be started with: each "NAME=VALUE" string with its
// NUL at most MAX_ARG_STRLEN, and all strings and their pointers within a quarter of the stack.
constexpr std::size_t kMaxEnvironmentEntry = 32 * 4096;
constexpr std::size_t kEnvironmentPointer = sizeof(char*);

struct ConnectionLimits {
  std::size_t max_pairs = 4096;
  std::size_t max_environment = 2 << 20;  // entries and their pointers, as the kernel counts
  // Bytes of an answered request's stream read and dropped before the connection closes.
  std::size_t max_discarded = 16 << 20;
  int max_requests = 1;  // answered to FCGI_GET_VALUES
};

class Connection {
 public:
  Connection(UniqueFd socket, ConnectionLimits limits);

  int fd() const { return socket_.get(); }
  bool open() const { return static_cast<bool>(socket_); }
  void close_socket() { socket_.reset(); }

  // Appends to the input what the socket has now, at most `limit` bytes. Returns the count,
  // 0 at the peer's end or an error, -1 when nothing is waiting. Not reentrant: all
  // connections read through one buffer.
  long read_socket(std::size_t limit);
  // Handles the next whole record of the input.
  Event handle_next_record();

  // The request's response: stream data, then the ends of both streams and FCGI_END_REQUEST.
  // A request that ends without a byte of output is answered with a bare server error, so that
  // no web server can pass a failure on as an empty success page.
  void append_output(std::uint8_t type, std::string_view data);
  void end_request(std::uint32_t app_status);
  // The end of a request whose records were written on the connection by another process.
  void end_answered_request();

  // Writes what the socket takes now; false when the peer is gone.
  bool write_output();
  std::size_t pending_output() const { return output_.size() - output_sent_; }

  // True while the rest of an answered request's params and body is still to be read: closing
  // with them unread would reset the connection and lose the response.
  bool draining() const { return finished_id_ != 0; }
  // Ends our direction once everything is written: a web server that waits for the end of the
  // connection before it closes it learns that the response is complete, while the rest of
  // what it sends is still read.
  void end_writing();
  // True between the requests of a kept connection.
  bool kept_idle() const { return kept_ && !request && !draining(); }

  std::optional<Request> request;
  // Set once the connection has nothing more to do after its output is written.
  bool close_after_output = false;

 private:
  Event handle_record(std::uint8_t type, std::uint16_t id, std::string_view content);
  Event begin_request(std::uint16_t id, std::string_view content);
  Event add_params(std::string_view content);
  Event discard(std::uint8_t type, std::string_view content);
  void answer_get_values(std::string_view content);
  void refuse(std::uint16_t id, std::uint8_t status);
  // What ends the request, whoever wrote its records.
  void finish_request();
  void compact_output();
  void release_handled_input();

  UniqueFd socket_;
  ConnectionLimits limits_;
  std::string input_;
  std::size_t input_used_ = 0;
  std::string output_;
  std::size_t output_sent_ = 0;
  std::uint16_t finished_id_ = 0;  // the answered request whose records are dropped
  std::size_t discarded_ = 0;
  bool kept_ = false;
  bool write_ended_ = false;
};

}  // namespace sr::fcgi
