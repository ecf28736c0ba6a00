// The FastCGI record: an 8-byte header (version, type, request id, content length, padding
// length), the content and the padding. Parsing never reads past the bytes it is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace sr::fcgi {

constexpr std::size_t kHeaderLength = 8;
constexpr std::size_t kMaxContentLength = 0xffff;
constexpr std::uint8_t kVersion1 = 1;

enum RecordType : std::uint8_t {
  kBeginRequest = 1,
  kAbortRequest = 2,
  kEndRequest = 3,
  kParams = 4,
  kStdin = 5,
  kStdout = 6,
  kStderr = 7,
  kData = 8,
  kGetValues = 9,
  kGetValuesResult = 10,
  kUnknownType = 11,
};

constexpr std::uint16_t kNullRequestId = 0;
constexpr std::uint16_t kRoleResponder = 1;
constexpr std::uint8_t kKeepConn = 1;

enum ProtocolStatus : std::uint8_t {
  kRequestComplete = 0,
  kCantMpxConn = 1,
  kOverloaded = 2,
  kUnknownRole = 3,
};

struct Record {
  std::uint8_t type = 0;
  std::uint16_t request_id = 0;
  std::string_view content;  // points into the parsed input
};

enum class ParseResult { record, need_more, malformed };

// Parses the record at the front of `input`. On `record`, `consumed` is its whole size,
// padding included; `need_more` means the record is not complete yet; `malformed` means the
// stream cannot be a FastCGI stream (an unknown version).
ParseResult parse_record(std::string_view input, Record& record, std::size_t& consumed);

struct BeginRequest {
  std::uint16_t role = 0;
  std::uint8_t flags = 0;
};
// False when the content is not the 8-byte body of a begin-request record.
bool parse_begin_request(std::string_view content, BeginRequest& begin);

// Appends one record without padding; `content` must not exceed kMaxContentLength.
void append_record(std::string& out, std::uint8_t type, std::uint16_t request_id,
                   std::string_view content);
// Appends `data` as records of at most kMaxContentLength bytes; nothing when it is empty
// (an empty record would end the stream).
void append_stream_data(std::string& out, std::uint8_t type, std::uint16_t request_id,
                        std::string_view data);
void append_end_request(std::string& out, std::uint16_t request_id, std::uint32_t app_status,
                        ProtocolStatus status);
void append_unknown_type(std::string& out, std::uint8_t type);

}  // namespace sr::fcgi
