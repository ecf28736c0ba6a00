// The record and name-value codec on byte strings: split and padded records, long lengths,
// and every way a record or a pair can be cut short or broken.
#include <gtest/gtest.h>

#include <string>

#include "fcgi/params.h"
#include "fcgi/record.h"

namespace sr::fcgi {
namespace {

std::string header(std::uint8_t version, std::uint8_t type, std::uint16_t id, std::uint16_t length,
                   std::uint8_t padding) {
  return {static_cast<char>(version),     static_cast<char>(type),
          static_cast<char>(id >> 8),     static_cast<char>(id & 0xff),
          static_cast<char>(length >> 8), static_cast<char>(length & 0xff),
          static_cast<char>(padding),     0};
}

TEST(RecordCodec, ParsesARecordWithPaddingAndLeavesTheNextOne) {
  const std::string input =
      header(1, kStdin, 0x1234, 3, 5) + "abc" + std::string(5, '\xee') + header(1, kStdin, 1, 0, 0);
  Record record;
  std::size_t consumed = 0;
  ASSERT_EQ(parse_record(input, record, consumed), ParseResult::record);
  EXPECT_EQ(record.type, kStdin);
  EXPECT_EQ(record.request_id, 0x1234);
  EXPECT_EQ(record.content, "abc");
  EXPECT_EQ(consumed, 16u);
  ASSERT_EQ(parse_record(std::string_view(input).substr(consumed), record, consumed),
            ParseResult::record);
  EXPECT_EQ(record.content, "");
  EXPECT_EQ(consumed, 8u);
}

TEST(RecordCodec, EveryPrefixOfARecordAsksForMore) {
  const std::string whole = header(1, kParams, 7, 300, 4) + std::string(300, 'x') + "pppp";
  for (std::size_t cut = 0; cut < whole.size(); ++cut) {
    SCOPED_TRACE("first " + std::to_string(cut) + " bytes");
    Record record;
    std::size_t consumed = 0;
    EXPECT_EQ(parse_record(std::string_view(whole).substr(0, cut), record, consumed),
              ParseResult::need_more);
  }
}

TEST(RecordCodec, AnUnknownVersionIsMalformedAtItsFirstByte) {
  for (int version : {0, 2, 0x47 /* 'G' of an HTTP request */, 255}) {
    SCOPED_TRACE("version " + std::to_string(version));
    Record record;
    std::size_t consumed = 0;
    const std::string input = header(static_cast<std::uint8_t>(version), kStdin, 1, 0, 0);
    EXPECT_EQ(parse_record(input.substr(0, 1), record, consumed), ParseResult::malformed);
    EXPECT_EQ(parse_record(input, record, consumed), ParseResult::malformed);
  }
}

TEST(RecordCodec, LongStreamDataIsSplitIntoFullRecordsThatParseBack) {
  std::string data(2 * kMaxContentLength + 10, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  std::string out;
  append_stream_data(out, kStdout, 9, data);
  append_stream_data(out, kStdout, 9, "");  // no record: it would end the stream
  std::string joined;
  std::size_t records = 0;
  for (std::string_view rest = out; !rest.empty(); ++records) {
    Record record;
    std::size_t consumed = 0;
    ASSERT_EQ(parse_record(rest, record, consumed), ParseResult::record);
    EXPECT_EQ(record.request_id, 9);
    EXPECT_FALSE(record.content.empty());
    joined.append(record.content);
    rest.remove_prefix(consumed);
  }
  EXPECT_EQ(records, 3u);
  EXPECT_EQ(joined, data);
}

TEST(RecordCodec, EndRequestAndUnknownTypeBodies) {
  std::string out;
  append_end_request(out, 0x0102, 0xA1B2C3D4, kCantMpxConn);
  append_unknown_type(out, 200);
  EXPECT_EQ(out, header(1, kEndRequest, 0x0102, 8, 0) + "\xA1\xB2\xC3\xD4\x01" +
                     std::string(3, '\0') + header(1, kUnknownType, 0, 8, 0) + "\xC8" +
                     std::string(7, '\0'));
}

TEST(RecordCodec, BeginRequestBodyMustBeEightBytes) {
  BeginRequest begin;
  EXPECT_TRUE(parse_begin_request(std::string("\x00\x01\x01\0\0\0\0\0", 8), begin));
  EXPECT_EQ(begin.role, kRoleResponder);
  EXPECT_EQ(begin.flags, kKeepConn);
  EXPECT_FALSE(parse_begin_request(std::string("\x00\x01\x01\0\0\0\0", 7), begin));
  EXPECT_FALSE(parse_begin_request(std::string(9, '\0'), begin));
}

TEST(NameValues, RoundTripOfShortAndLongLengths) {
  const std::vector<std::pair<std::string, std::string>> pairs = {
      {"A", ""},
      {"", "empty name"},
      {std::string(127, 'n'), std::string(128, 'v')},
      {std::string(200, 'N'), std::string(70000, 'V')},
      {"NUL", std::string("a\0b", 3)}};
  std::string encoded;
  for (const auto& [name, value] : pairs) append_name_value(encoded, name, value);
  // 127 fits one length byte; 128 and above take four with the high bit set.
  EXPECT_EQ(encoded.substr(0, 3), std::string("\x01\x00"
                                              "A",
                                              3));
  NameValuePairs decoded;
  ASSERT_TRUE(decode_name_values(encoded, decoded));
  EXPECT_EQ(decoded, NameValuePairs(pairs.begin(), pairs.end()));
}

TEST(NameValues, FourByteLengthsAreReadAsThirtyOneBits) {
  // 0x80000003 is a length of 3 written the long way.
  const std::string encoded = std::string("\x80\x00\x00\x03\x01", 5) + "abcX";
  NameValuePairs decoded;
  ASSERT_TRUE(decode_name_values(encoded, decoded));
  ASSERT_EQ(decoded.size(), 1u);
  EXPECT_EQ(decoded[0], (std::pair<std::string_view, std::string_view>{"abc", "X"}));
}

TEST(NameValues, TruncatedOrOverlongPairsAreRefused) {
  std::string good;
  append_name_value(good, "NAME", "value");
  const struct {
    const char* name;
    std::string data;
  } rows[] = {
      {"cut inside the value", good.substr(0, good.size() - 1)},
      {"only a name length", good.substr(0, 1)},
      {"cut inside a four-byte length", std::string("\x05\x80\x00", 3)},
      {"length beyond the data", std::string("\x7f\x00", 2) + "short"},
      {"largest length", std::string("\xff\xff\xff\xff\x00", 5) + "x"},
      {"good pair, then a broken one", good + std::string("\x03\x03", 2) + "ab"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    NameValuePairs decoded;
    EXPECT_FALSE(decode_name_values(row.data, decoded));
  }
}

}  // namespace
}  // namespace sr::fcgi
