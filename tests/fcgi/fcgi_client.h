// A small FastCGI client for the tests: it speaks to the server over its unix socket the way a
// web server does, and can also send what no web server would.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace sr::test {

using Params = std::vector<std::pair<std::string, std::string>>;

struct RawRecord {
  std::uint8_t type = 0;
  std::uint16_t request_id = 0;
  std::string content;
};

struct FcgiResponse {
  std::string out;     // FCGI_STDOUT, concatenated
  std::string err;     // FCGI_STDERR, concatenated
  bool ended = false;  // FCGI_END_REQUEST came
  std::uint32_t app_status = 0;
  int protocol_status = -1;
  bool closed = false;     // the server closed the connection before the end
  bool timed_out = false;  // nothing more came within the time limit
};

class FcgiClient {
 public:
  // `socket_path`: a unix socket's path, or "tcp:HOST:PORT" with a numeric IPv4 host.
  explicit FcgiClient(const std::string& socket_path);
  ~FcgiClient();
  FcgiClient(const FcgiClient&) = delete;
  FcgiClient& operator=(const FcgiClient&) = delete;

  bool connected() const { return fd_ >= 0; }
  // True once a read failed because the server reset the connection (it closed it with bytes
  // of ours unread) rather than ending it.
  bool reset() const { return reset_; }
  int fd() const { return fd_; }

  // Each returns false when the server no longer takes the bytes.
  bool send_raw(const std::string& bytes);
  bool begin(std::uint16_t id, std::uint16_t role = 1, bool keep_conn = false);
  // The params as records of at most `record_size` bytes of content, then the empty record.
  bool params(std::uint16_t id, const Params& params, std::size_t record_size = 65535);
  bool body(std::uint16_t id, const std::string& data);  // without the stream's end
  bool body_end(std::uint16_t id);
  bool abort(std::uint16_t id);

  // The next record, std::nullopt at the connection's end or after `timeout_ms`.
  std::optional<RawRecord> read_record(int timeout_ms = 30000);
  // Records until FCGI_END_REQUEST of `id`; records of other ids are kept in `others`.
  FcgiResponse read_response(std::uint16_t id, int timeout_ms = 30000);
  // True when the server closes the connection within `timeout_ms` (records are skipped).
  bool wait_for_close(int timeout_ms = 10000);

  std::vector<RawRecord> others;

 private:
  bool fill(int timeout_ms);
  int fd_ = -1;
  std::string input_;
  bool at_end_ = false;
  bool reset_ = false;
};

// One whole request on a fresh connection: begin, params, the body and its end, the response.
FcgiResponse fcgi_request(const std::string& socket_path, const Params& params,
                          const std::string& body = "", int timeout_ms = 30000);

}  // namespace sr::test
