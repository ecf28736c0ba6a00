// The FastCGI record codec and a connection's record handling on any byte stream: nothing reads
// out of bounds, every record parsed lies inside the input, decoded name-value pairs encode and
// decode back to themselves, and whatever the connection answers is a well-formed record stream
// of the types a server may send. The first input byte chooses how the stream is cut into reads.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fcgi/connection.h"
#include "fcgi/params.h"
#include "fcgi/record.h"

namespace {

using namespace sr::fcgi;

void check(bool condition) {
  if (!condition) std::abort();
}

void check_records(std::string_view input) {
  while (!input.empty()) {
    Record record;
    std::size_t consumed = 0;
    const ParseResult result = parse_record(input, record, consumed);
    if (result != ParseResult::record) return;
    check(consumed >= kHeaderLength && consumed <= input.size());
    check(record.content.data() >= input.data() &&
          record.content.data() + record.content.size() <= input.data() + consumed);
    NameValuePairs pairs;
    if (decode_name_values(record.content, pairs)) {
      std::string encoded;
      for (const auto& [name, value] : pairs) append_name_value(encoded, name, value);
      NameValuePairs again;
      check(decode_name_values(encoded, again) && again == pairs);
    }
    input.remove_prefix(consumed);
  }
}

// What the server answers must parse completely, as records a server may send.
void check_answer(std::string_view answer) {
  while (!answer.empty()) {
    Record record;
    std::size_t consumed = 0;
    check(parse_record(answer, record, consumed) == ParseResult::record);
    check(record.type == kEndRequest || record.type == kGetValuesResult ||
          record.type == kUnknownType || record.type == kStdout || record.type == kStderr);
    if (record.type == kEndRequest || record.type == kUnknownType) {
      check(record.content.size() == 8);
    }
    answer.remove_prefix(consumed);
  }
}

// Plays the server's part for each event, without starting anything.
bool handle(Connection& connection) {
  while (true) {
    switch (connection.handle_next_record()) {
      case Event::need_input:
        return true;
      case Event::protocol_error:
        return false;
      case Event::none:
        break;
      case Event::params_done: {
        NameValuePairs params;
        decode_name_values(connection.request->params, params);
        connection.append_output(kStdout, "Content-Type: text/plain\n\n");
        break;
      }
      case Event::body:
        connection.request->body.clear();
        if (connection.request->body_done) connection.end_request(0);
        break;
      case Event::abort:
      case Event::params_refused:
        connection.end_request(0);
        break;
      case Event::drained:
        break;
      case Event::drain_limit:
        return false;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1 || size > (1 << 16)) return 0;
  const std::size_t read_size = 1 + data[0] * 64;
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  check_records(input);

  int ends[2];
  check(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, ends) == 0);
  check(::write(ends[1], input.data(), input.size()) == static_cast<ssize_t>(input.size()));
  ::shutdown(ends[1], SHUT_WR);
  Connection connection(sr::UniqueFd(ends[0]), ConnectionLimits{});
  while (connection.read_socket(read_size) > 0 && handle(connection)) {
  }
  check(connection.write_output());
  std::string answer;
  char buffer[65536];
  for (ssize_t n; (n = ::read(ends[1], buffer, sizeof buffer)) > 0;) answer.append(buffer, n);
  ::close(ends[1]);
  check_answer(answer);
  return 0;
}
