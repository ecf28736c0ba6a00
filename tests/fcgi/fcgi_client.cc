#include "tests/fcgi/fcgi_client.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "fcgi/params.h"
#include "fcgi/record.h"

namespace sr::test {

using namespace sr::fcgi;

FcgiClient::FcgiClient(const std::string& socket_path) {
  sockaddr_storage address{};
  socklen_t size = 0;
  if (socket_path.starts_with("tcp:")) {
    const std::string host_port = socket_path.substr(4);
    const std::size_t colon = host_port.rfind(':');
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<std::uint16_t>(std::stoi(host_port.substr(colon + 1))));
    ::inet_pton(AF_INET, host_port.substr(0, colon).c_str(), &v4->sin_addr);
    size = sizeof *v4;
  } else {
    auto* un = reinterpret_cast<sockaddr_un*>(&address);
    un->sun_family = AF_UNIX;
    std::strncpy(un->sun_path, socket_path.c_str(), sizeof un->sun_path - 1);
    size = sizeof *un;
  }
  fd_ = ::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ >= 0 && ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), size) != 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

FcgiClient::~FcgiClient() {
  if (fd_ >= 0) ::close(fd_);
}

bool FcgiClient::send_raw(const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

bool FcgiClient::begin(std::uint16_t id, std::uint16_t role, bool keep_conn) {
  const char body[8] = {static_cast<char>(role >> 8), static_cast<char>(role & 0xff),
                        static_cast<char>(keep_conn ? kKeepConn : 0)};
  std::string record;
  append_record(record, kBeginRequest, id, std::string_view(body, 8));
  return send_raw(record);
}

bool FcgiClient::params(std::uint16_t id, const Params& params, std::size_t record_size) {
  std::string encoded;
  for (const auto& [name, value] : params) append_name_value(encoded, name, value);
  std::string records;
  for (std::size_t at = 0; at < encoded.size(); at += record_size) {
    append_record(records, kParams, id, std::string_view(encoded).substr(at, record_size));
  }
  append_record(records, kParams, id, {});
  return send_raw(records);
}

bool FcgiClient::body(std::uint16_t id, const std::string& data) {
  std::string records;
  append_stream_data(records, kStdin, id, data);
  return send_raw(records);
}

bool FcgiClient::body_end(std::uint16_t id) {
  std::string record;
  append_record(record, kStdin, id, {});
  return send_raw(record);
}

bool FcgiClient::abort(std::uint16_t id) {
  std::string record;
  append_record(record, kAbortRequest, id, {});
  return send_raw(record);
}

bool FcgiClient::fill(int timeout_ms) {
  if (at_end_) return false;
  pollfd in = {fd_, POLLIN, 0};
  if (::poll(&in, 1, timeout_ms) <= 0) return false;
  char buffer[65536];
  const ssize_t n = ::read(fd_, buffer, sizeof buffer);
  if (n <= 0) {
    reset_ = n < 0 && errno == ECONNRESET;
    at_end_ = true;
    return false;
  }
  input_.append(buffer, static_cast<std::size_t>(n));
  return true;
}

std::optional<RawRecord> FcgiClient::read_record(int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (true) {
    Record record;
    std::size_t consumed = 0;
    if (parse_record(input_, record, consumed) == ParseResult::record) {
      RawRecord raw{record.type, record.request_id, std::string(record.content)};
      input_.erase(0, consumed);
      return raw;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0 || !fill(static_cast<int>(left))) return std::nullopt;
  }
}

FcgiResponse FcgiClient::read_response(std::uint16_t id, int timeout_ms) {
  FcgiResponse response;
  while (true) {
    std::optional<RawRecord> record = read_record(timeout_ms);
    if (!record) {
      response.closed = at_end_;
      response.timed_out = !at_end_;
      return response;
    }
    if (record->request_id != id) {
      others.push_back(std::move(*record));
    } else if (record->type == kStdout) {
      response.out += record->content;
    } else if (record->type == kStderr) {
      response.err += record->content;
    } else if (record->type == kEndRequest && record->content.size() == 8) {
      const auto byte = [&](int i) { return static_cast<unsigned char>(record->content[i]); };
      response.app_status =
          (std::uint32_t{byte(0)} << 24) | (byte(1) << 16) | (byte(2) << 8) | byte(3);
      response.protocol_status = byte(4);
      response.ended = true;
      return response;
    }
  }
}

bool FcgiClient::wait_for_close(int timeout_ms) {
  while (read_record(timeout_ms)) {
  }
  return at_end_;
}

FcgiResponse fcgi_request(const std::string& socket_path, const Params& params,
                          const std::string& body, int timeout_ms) {
  FcgiClient client(socket_path);
  if (!client.connected()) {
    FcgiResponse none;
    none.closed = true;
    return none;
  }
  client.begin(1);
  client.params(1, params);
  if (!body.empty()) client.body(1, body);
  client.body_end(1);
  return client.read_response(1, timeout_ms);
}

}  // namespace sr::test
