#include "fcgi/record.h"

#include <algorithm>

namespace sr::fcgi {
namespace {

std::uint16_t two_bytes(std::string_view data, std::size_t at) {
  return static_cast<std::uint16_t>((static_cast<unsigned char>(data[at]) << 8) |
                                    static_cast<unsigned char>(data[at + 1]));
}

void append_header(std::string& out, std::uint8_t type, std::uint16_t request_id,
                   std::size_t content_length) {
  const char header[kHeaderLength] = {static_cast<char>(kVersion1),
                                      static_cast<char>(type),
                                      static_cast<char>(request_id >> 8),
                                      static_cast<char>(request_id & 0xff),
                                      static_cast<char>(content_length >> 8),
                                      static_cast<char>(content_length & 0xff),
                                      0,
                                      0};
  out.append(header, kHeaderLength);
}

}  // namespace

ParseResult parse_record(std::string_view input, Record& record, std::size_t& consumed) {
  if (input.empty()) return ParseResult::need_more;
  if (static_cast<unsigned char>(input[0]) != kVersion1) return ParseResult::malformed;
  if (input.size() < kHeaderLength) return ParseResult::need_more;
  const std::size_t content_length = two_bytes(input, 4);
  const std::size_t padding_length = static_cast<unsigned char>(input[6]);
  const std::size_t total = kHeaderLength + content_length + padding_length;
  if (input.size() < total) return ParseResult::need_more;
  record.type = static_cast<unsigned char>(input[1]);
  record.request_id = two_bytes(input, 2);
  record.content = input.substr(kHeaderLength, content_length);
  consumed = total;
  return ParseResult::record;
}

bool parse_begin_request(std::string_view content, BeginRequest& begin) {
  if (content.size() != 8) return false;
  begin.role = two_bytes(content, 0);
  begin.flags = static_cast<unsigned char>(content[2]);
  return true;
}

void append_record(std::string& out, std::uint8_t type, std::uint16_t request_id,
                   std::string_view content) {
  append_header(out, type, request_id, content.size());
  out.append(content);
}

void append_stream_data(std::string& out, std::uint8_t type, std::uint16_t request_id,
                        std::string_view data) {
  while (!data.empty()) {
    const std::size_t n = std::min(data.size(), kMaxContentLength);
    append_record(out, type, request_id, data.substr(0, n));
    data.remove_prefix(n);
  }
}

void append_end_request(std::string& out, std::uint16_t request_id, std::uint32_t app_status,
                        ProtocolStatus status) {
  const char body[8] = {static_cast<char>(app_status >> 24),
                        static_cast<char>((app_status >> 16) & 0xff),
                        static_cast<char>((app_status >> 8) & 0xff),
                        static_cast<char>(app_status & 0xff),
                        static_cast<char>(status),
                        0,
                        0,
                        0};
  append_record(out, kEndRequest, request_id, std::string_view(body, 8));
}

void append_unknown_type(std::string& out, std::uint8_t type) {
  const char body[8] = {static_cast<char>(type), 0, 0, 0, 0, 0, 0, 0};
  append_record(out, kUnknownType, kNullRequestId, std::string_view(body, 8));
}

}  // namespace sr::fcgi
